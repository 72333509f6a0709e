// The fault matrix's tables: filled by the USB and serial halves, printed
// once when the run ends (each CTest runs one half in one process).
#include <gtest/gtest.h>

#include "fault_matrix.h"

namespace matrix {

Table &UsbTable()
{
    static Table t("USB read cycle fault matrix");
    return t;
}

Table &SerialTable()
{
    static Table t("Serial read cycle fault matrix");
    return t;
}

} // namespace matrix

namespace {

class PrintTables : public ::testing::Environment {
public:
    void TearDown() override
    {
        matrix::UsbTable().Print(stdout);
        matrix::SerialTable().Print(stdout);
    }
};

::testing::Environment *const g_print = ::testing::AddGlobalTestEnvironment(new PrintTables);

} // namespace
