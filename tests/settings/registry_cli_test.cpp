// corvane-reg, run as a program, and the parsing of its arguments.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../registry/temp_root.h"
#include "settings/registry_cli.h"
#include "settings/registry_routines.h"

namespace corvane::settings {
namespace {

using namespace std::string_literals;
using testing::run_process;

class RegTool : public testing::TempRootTest {
protected:
    testing::ProcessResult reg(std::vector<std::string> args) {
        args.insert(args.begin(), CORVANE_REG_TOOL);
        return run_process(args);
    }
};

TEST_F(RegTool, SetGetListDeleteWithExitCodes) {
    EXPECT_EQ(reg({"set", "HKLM\\Software\\Corvane", "Run", "REG_SZ", "1"}).exit_code, 0);
    EXPECT_EQ(reg({"set", "HKEY_LOCAL_MACHINE\\Software\\Corvane", "Count", "REG_DWORD", "0xFFFFFFFE"}).exit_code, 0);
    EXPECT_EQ(reg({"set", "hklm\\Software\\Corvane", "Blob", "REG_BINARY", "00 ff 1A"}).exit_code, 0);
    EXPECT_EQ(reg({"set", "HKLM\\Software\\Corvane", "List", "REG_MULTI_SZ", "a\\0b"}).exit_code, 0);
    EXPECT_EQ(reg({"set", "HKCU\\Software\\X", "Path", "REG_EXPAND_SZ", "%HOME%/x"}).exit_code, 0);

    auto got = reg({"get", "HKLM\\SOFTWARE\\corvane\\", "run"});
    EXPECT_EQ(got.exit_code, 0);
    EXPECT_EQ(got.out, "1\n");
    EXPECT_EQ(reg({"get", "HKLM\\Software\\Corvane", "Count"}).out, "-2\n");
    EXPECT_EQ(reg({"get", "HKLM\\Software\\Corvane", "Blob"}).out, "00 FF 1A\n");
    EXPECT_EQ(reg({"get", "HKLM\\Software\\Corvane", "List"}).out, "a\nb\n");
    EXPECT_EQ(reg({"get", "HKEY_CURRENT_USER\\Software\\X", "Path"}).out, "%HOME%/x\n") << "text as it stands";

    // What the tool writes is what the system reads.
    RegistryRoutines r;
    r.set_hkey(kHkeyLocalMachine);
    r.set_KeyRoot("Software\\Corvane");
    EXPECT_EQ(r.GetRegistryValue("Run"), RegistryVariant("1"s));
    EXPECT_EQ(r.GetRegistryValue("List"), RegistryVariant("a\0b"s));

    const auto listed = reg({"list", "HKLM\\Software"});
    EXPECT_EQ(listed.exit_code, 0);
    EXPECT_EQ(listed.out, "[Corvane]\n[Microsoft]\n");
    EXPECT_EQ(reg({"list", "HKLM\\Software\\Corvane"}).out,
              "Run\tREG_SZ\t1\nCount\tREG_DWORD\t-2\nBlob\tREG_BINARY\t00 FF 1A\nList\tREG_MULTI_SZ\ta\\0b\n");

    const auto absent = reg({"get", "HKLM\\Software\\Corvane", "Nope"});
    EXPECT_EQ(absent.exit_code, 1);
    EXPECT_TRUE(absent.out.empty());
    EXPECT_EQ(reg({"get", "HKLM\\Software\\Nokey", "Run"}).exit_code, 1);

    EXPECT_EQ(reg({"delete", "HKLM\\Software\\Corvane", "Run"}).exit_code, 0);
    EXPECT_EQ(reg({"get", "HKLM\\Software\\Corvane", "Run"}).exit_code, 1);
    EXPECT_EQ(reg({"delete", "HKCU\\Software\\X"}).exit_code, 0);
    EXPECT_EQ(reg({"list", "HKCU\\Software\\X"}).exit_code, 1);
}

TEST_F(RegTool, BadArgumentsAreErrorsOnStandardError) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {},
             {"get"},
             {"get", "HKCR\\Software", "x"},
             {"get", "Software\\Corvane", "x"},
             {"frob", "HKLM\\Software", "x"},
             {"set", "HKLM\\Software\\Corvane", "Run", "REG_QWORD", "1"},
             {"set", "HKLM\\Software\\Corvane", "Run", "REG_DWORD", "12abc"},
             {"set", "HKLM\\Software\\Corvane", "Run", "REG_BINARY", "0g"},
             {"set", "HKLM\\Software\\Corvane", "Run", "REG_SZ"},
             {"delete", "HKLM\\Software", "a", "b"},
         }) {
        const auto result = reg(args);
        EXPECT_EQ(result.exit_code, 2) << (args.empty() ? "" : args[0]);
        EXPECT_FALSE(result.err.empty());
        EXPECT_TRUE(result.out.empty());
    }
    EXPECT_EQ(reg({"list", "HKLM\\Software\\Corvane"}).exit_code, 1) << "nothing was written";
}

TEST(RegToolParsing, DataOfEachType) {
    using Bytes = std::vector<std::uint8_t>;
    EXPECT_EQ(cli::ParseData(1, "ab"), (Bytes{'a', 'b', 0}));
    EXPECT_EQ(cli::ParseData(1, ""), Bytes{}) << "an empty text is zero bytes, as the system writes it";
    EXPECT_EQ(cli::ParseData(7, "a\\0bc"), (Bytes{'a', 0, 'b', 'c', 0, 0}));
    EXPECT_EQ(cli::ParseData(7, ""), (Bytes{0, 0}));
    EXPECT_EQ(cli::ParseData(7, "a\\0\\0b"), std::nullopt) << "an empty string inside would end the list";
    EXPECT_EQ(cli::ParseData(4, "-1"), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(cli::ParseData(4, "4294967295"), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(cli::ParseData(4, "4294967296"), std::nullopt);
    EXPECT_EQ(cli::ParseData(4, "-2147483649"), std::nullopt);
    EXPECT_EQ(cli::ParseData(4, "0x10"), (Bytes{0x10, 0, 0, 0}));
    EXPECT_EQ(cli::ParseData(4, "0x"), std::nullopt);
    EXPECT_EQ(cli::ParseData(4, ""), std::nullopt);
    EXPECT_EQ(cli::ParseData(3, "0A0b ff"), (Bytes{0x0A, 0x0B, 0xFF}));
    EXPECT_EQ(cli::ParseData(3, ""), Bytes{});
    EXPECT_EQ(cli::ParseData(3, "abc"), std::nullopt);
    EXPECT_EQ(cli::ParseData(3, "a bc"), std::nullopt);
    EXPECT_EQ(cli::FormatData(4, Bytes{1, 2}), "01 02") << "a short double word is shown as bytes";
    EXPECT_EQ(cli::FormatData(11, Bytes{0xDE, 0xAD}), "DE AD");

    const auto key = cli::ParseKey("HKEY_CURRENT_USER\\A\\B");
    ASSERT_TRUE(key);
    EXPECT_EQ(key->root, kHkeyCurrentUser);
    EXPECT_EQ(key->path, "A\\B");
    EXPECT_FALSE(cli::ParseKey("HKLMX\\A"));
}

}  // namespace
}  // namespace corvane::settings
