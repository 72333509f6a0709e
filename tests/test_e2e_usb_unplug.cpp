// A reader module that disappears between read cycles (its own process: the
// emulated device cannot come back once unplugged).
#include <gtest/gtest.h>

#include "UsbModule.h"
#include "e2e_support.h"

TEST(UsbUnplugged, NextCycleReportsTheReaderGone)
{
    sim::UsbModule module;
    ASSERT_TRUE(module.Ok()) << module.Error();
    CARD_SetReadInfoCB(e2e::OnEvent);
    idInfo rec;
    memset(&rec, 0, sizeof rec);

    module.Module().PlaceCard(sim::CardKind::M1);
    ASSERT_EQ(ReadIDCardLib(&rec, CARDTYPE_USB), SCANID_OTHERCARD);

    module.Device().Remove();
    e2e::ResetEvents();
    int fds = e2e::SteadyDescriptors();
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadIDCardLib(&rec, CARDTYPE_USB), SCANID_ERR_USB_OPEN);
    EXPECT_GE(e2e::MsSince(t0), 1000) << "the cycle pauses a second before giving up";
    EXPECT_EQ(e2e::Events(), (std::vector<e2e::Event>{{3, "usb connect err"}}));
    EXPECT_EQ(e2e::DescriptorsBackTo(fds), "");
    EXPECT_EQ(g_IdCardMain.m_usb.pUsbContext, nullptr);
}
