#include "SimCards.h"

#include <cstring>

namespace sim {

namespace {

IdCard Make(std::initializer_list<uint8_t> serial, CardFields f)
{
    IdCard c{};
    std::copy(serial.begin(), serial.end(), c.serial);
    c.fields = std::move(f);
    return c;
}

IdCard Placed(uint8_t last, uint32_t photoSeed, std::vector<PlacedField> placed)
{
    CardFields f;
    f.photoSeed = photoSeed;
    f.placed = std::move(placed);
    return Make({0x30, 0x21, 0x5A, 0x11, 0x08, 0x00, 0x10, last}, std::move(f));
}

} // namespace

const std::vector<IdCard> &IdCards()
{
    static const std::vector<IdCard> cards = {
        Make({0x30, 0x21, 0x5A, 0x11, 0x08, 0x00, 0x10, 0x01},
             {"张伟", "1", "01", "19850312", "广东省广州市天河区体育西路103号", "440106198503124518",
              "广州市公安局天河分局", "20150601", "20350601", 101, {}}),
        Make({0x30, 0x21, 0x5A, 0x11, 0x08, 0x00, 0x10, 0x02},
             {"阿依古丽·买买提", "2", "05", "19920708", "新疆维吾尔自治区乌鲁木齐市天山区解放南路128号",
              "650102199207082024", "乌鲁木齐市公安局天山区分局", "20120910", "20220910", 202, {}}),
        Make({0x30, 0x21, 0x5A, 0x11, 0x08, 0x00, 0x10, 0x03},
             {"巴特尔·额尔德尼其木格", "1", "02", "19801123", "内蒙古自治区呼和浩特市新城区成吉思汗大街16号",
              "150102198011230037", "呼和浩特市公安局新城区分局", "20060115", "长期", 303, {}}),
        Make({0x30, 0x21, 0x5A, 0x11, 0x08, 0x00, 0x10, 0x04},
             {"李秀英", "2", "03", "19760315", "宁夏回族自治区银川市兴庆区解放东街45号", "640104197603150027",
              "银川市公安局兴庆区分局", "20100315", "20300315", 404, {}}),
        Make({0x30, 0x21, 0x5A, 0x11, 0x08, 0x00, 0x10, 0x05},
             {"韦国强", "1", "08", "19651001", "广西壮族自治区南宁市青秀区民族大道88号", "450103196510011232",
              "南宁市公安局青秀分局", "20181001", "20381001", 505, {}}),
        Placed(0x06, 606,
               {{0, 120, "SMITH, JOHN WILLIAM"}, {120, 2, "1"}, {122, 30, "USA110179050116"}, {152, 6, "USA"},
                {158, 30, "史密斯"}, {188, 16, "20200610"}, {204, 16, "20300610"}, {220, 16, "19790501"},
                {236, 4, "01"}, {240, 8, "1100"}, {248, 2, "I"}}),
        Placed(0x07, 707,
               {{0, 30, "史密斯"}, {30, 2, "1"}, {32, 4, "00"}, {36, 16, "19790501"},
                {52, 70, "HUTCHINSON-WAINWRIGHT, CHRISTOPHER "}, {122, 36, "911840197905010118"},
                {188, 16, "20240105"}, {204, 16, "20340105"}, {220, 22, "JAMES"}, {242, 6, "USA"}, {248, 2, "Y"},
                {250, 6, "011"}}),
        Placed(0x08, 808,
               {{0, 30, "陈大文"}, {30, 2, "1"}, {36, 16, "19900315"}, {52, 70, "广东省深圳市福田区福华一路88号"},
                {122, 36, "810000199003150138"}, {158, 30, "深圳市公安局福田分局"}, {188, 16, "20190901"},
                {204, 16, "20240901"}, {220, 18, "H12345678"}, {238, 4, "01"}, {248, 2, "J"}}),
        Placed(0x09, 909,
               {{0, 30, "林美玲"}, {30, 2, "2"}, {36, 16, "19921130"}, {52, 70, "福建省厦门市思明区湖滨南路1号"},
                {122, 36, "830000199211300245"}, {158, 30, "厦门市公安局思明分局"}, {188, 16, "20190901"},
                {204, 16, "20240901"}, {220, 18, "12345678"}, {238, 4, "01"}, {248, 2, "J"}}),
    };
    return cards;
}

const IdCard &UnknownDocument()
{
    static const IdCard card = Placed(0x0F, 1515, {{0, 30, "某某"}, {122, 36, "990000200001010000"}, {248, 2, "Q"}});
    return card;
}

const IdCard *FindIdCard(const uint8_t *serial)
{
    for (const IdCard &c : IdCards())
        if (memcmp(c.serial, serial, proto::kSerialLen) == 0)
            return &c;
    if (memcmp(UnknownDocument().serial, serial, proto::kSerialLen) == 0)
        return &UnknownDocument();
    return nullptr;
}

proto::Bytes OtherCardAnnouncement(CardKind kind)
{
    switch (kind) {
    case CardKind::M1:
        // UID, ATQA, SAK
        return proto::OtherCardFrame(proto::kKindM1, {0x5C, 0x3E, 0x91, 0x0A, 0x04, 0x08});
    case CardKind::Yct:
        // Card number and balance of a transit card.
        return proto::OtherCardFrame(proto::kKindYct, {0x51, 0x00, 0x00, 0x02, 0x88, 0x10, 0x37, 0x45,
                                                       0x00, 0x00, 0x27, 0x10, 0x20, 0x26, 0x12, 0x07});
    case CardKind::Kind3:
        return proto::OtherCardFrame(proto::kKind3, {0x33, 0x01, 0x02, 0x03, 0x04});
    case CardKind::Kind2:
        return proto::OtherCardFrame(proto::kKind2, {0x22, 0x0F, 0x0E, 0x0D});
    case CardKind::IcCard:
        return proto::IcCardFrame(0x07, {0x3B, 0x6E, 0x00, 0x00, 0x80, 0x31, 0x80, 0x66});
    case CardKind::IdCard:
        break;
    }
    return {};
}

} // namespace sim
