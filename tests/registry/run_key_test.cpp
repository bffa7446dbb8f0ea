// The Run key's values are the system-wide autostart entries.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/linux/registry_autostart.h"
#include "platform/registry.h"
#include "temp_root.h"

namespace corvane::platform {
namespace {

using Bytes = std::vector<std::uint8_t>;

class RunKey : public testing::TempRootTest {
protected:
    RegistryKey run(std::uint32_t access = kKeyAllAccess) {
        RegistryKey key;
        EXPECT_EQ(
            open_key(root_key(kHkeyLocalMachine), "software\\microsoft\\windows\\currentversion\\run\\", access, key),
            kErrorSuccess)
            << "the machine hive has the Run key from the start";
        return key;
    }
    std::string file_text(const std::string& name) {
        std::ifstream in(autostart() / name);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    static Bytes text_bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }
};

TEST_F(RunKey, SettingReadingAndDeletingAnEntry) {
    const std::string program = "/opt/corvane/bin/corvane";
    RegistryKey key = run();
    ASSERT_EQ(set_value(key, "Corvane", kRegSz, text_bytes(program)), kErrorSuccess);

    const std::string text = file_text("Corvane.desktop");
    EXPECT_NE(text.find("[Desktop Entry]\n"), std::string::npos);
    EXPECT_NE(text.find("\nType=Application\n"), std::string::npos);
    EXPECT_NE(text.find("\nExec=\"/opt/corvane/bin/corvane\"\n"), std::string::npos) << text;
    struct stat info {};
    ASSERT_EQ(stat((autostart() / "Corvane.desktop").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);

    std::uint32_t type = 0;
    std::uint32_t size = 0;
    Bytes data(256);
    ASSERT_EQ(query_value(key, "CORVANE", type, data, size), kErrorSuccess);
    EXPECT_EQ(type, kRegSz);
    EXPECT_EQ(std::string(data.begin(), data.begin() + size), program + std::string(1, '\0'));

    ASSERT_EQ(delete_value(key, "corvane"), kErrorSuccess);
    EXPECT_FALSE(std::filesystem::exists(autostart() / "Corvane.desktop"));
    EXPECT_EQ(delete_value(key, "Corvane"), kErrorFileNotFound);
    EXPECT_EQ(query_value(key, "Corvane", type, data, size), kErrorFileNotFound);
}

TEST_F(RunKey, EnumerationListsEveryEntryIncludingOtherPrograms) {
    std::filesystem::create_directories(autostart());
    {
        std::ofstream other(autostart() / "other.desktop");
        other << "[Desktop Entry]\nType=Application\nName=Other\nExec=other --tray\n";
        std::ofstream not_entry(autostart() / "notes.txt");
        not_entry << "ignored";
    }
    RegistryKey key = run();
    ASSERT_EQ(set_value(key, "Corvane", kRegSz, text_bytes("/usr/bin/corvane")), kErrorSuccess);
    std::vector<std::pair<std::string, std::string>> seen;
    std::string name;
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    Bytes data(256);
    for (std::uint32_t i = 0; enum_value(key, i, name, type, data, size) == kErrorSuccess; ++i) {
        EXPECT_EQ(type, kRegSz);
        seen.emplace_back(name, std::string(data.begin(), data.begin() + size));
    }
    using Seen = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(seen,
              (Seen{{"Corvane", std::string("/usr/bin/corvane\0", 17)}, {"other", std::string("other --tray\0", 13)}}));
}

TEST_F(RunKey, AwkwardPathsAreQuotedForTheExecLine) {
    autostart::Entry entry{"Corvane", kRegSz, text_bytes(std::string("/opt/a b/c\"d$e%f\\g`h\0", 21))};
    const std::string text = autostart::format_entry(entry);
    // Quoted argument: " \" \$ %% \\ \` inside quotes; then the backslashes of the string value doubled.
    EXPECT_NE(text.find("\nExec=\"/opt/a b/c\\\\\"d\\\\$e%%f\\\\\\\\g\\\\`h\"\n"), std::string::npos) << text;

    autostart::Entry back;
    ASSERT_TRUE(autostart::parse_entry(text, back));
    EXPECT_EQ(back.type, entry.type);
    EXPECT_EQ(back.data, entry.data);

    // Values that are not program paths keep type and bytes but never start anything.
    autostart::Entry binary{"Odd", kRegBinary, Bytes{0, 1, 2, 0xFF}};
    const std::string odd = autostart::format_entry(binary);
    EXPECT_NE(odd.find("\nHidden=true\n"), std::string::npos);
    ASSERT_TRUE(autostart::parse_entry(odd, back));
    EXPECT_EQ(back.type, kRegBinary);
    EXPECT_EQ(back.data, binary.data);
}

TEST_F(RunKey, NamesThatCannotBeFileNamesAreRefused) {
    RegistryKey key = run();
    for (const char* bad : {"../evil", "a/b", ".", "..", ".hidden", ""}) {
        EXPECT_EQ(set_value(key, bad, kRegSz, text_bytes("/bin/true")), kErrorInvalidParameter) << bad;
    }
    EXPECT_FALSE(std::filesystem::exists(root_ / "etc/xdg/evil.desktop"));
}

TEST_F(RunKey, OtherKeysOfTheMachineHiveStayInTheDatabase) {
    RegistryKey key;
    ASSERT_EQ(create_key(root_key(kHkeyLocalMachine), "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run\\Sub",
                         kKeyAllAccess, key),
              kErrorSuccess);
    ASSERT_EQ(set_value(key, "Corvane", kRegSz, text_bytes("/x")), kErrorSuccess);
    RegistryKey user;
    ASSERT_EQ(create_key(root_key(kHkeyCurrentUser), std::string(kRunKeyPath), kKeyAllAccess, user), kErrorSuccess);
    ASSERT_EQ(set_value(user, "Corvane", kRegSz, text_bytes("/y")), kErrorSuccess);
    EXPECT_FALSE(std::filesystem::exists(autostart() / "Corvane.desktop"));
}

}  // namespace
}  // namespace corvane::platform
