// Parsing the kernel's counters and finding the program folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/open_counters.h"
#include "platform/program_folder.h"

namespace corvane::platform {
namespace {

constexpr const char kSnmp[] =
    "Ip: Forwarding DefaultTTL InReceives\n"
    "Ip: 1 64 12345\n"
    "Tcp: RtoAlgorithm RtoMin RtoMax MaxConn ActiveOpens PassiveOpens AttemptFails EstabResets CurrEstab\n"
    "Tcp: 1 200 120000 -1 9000000000 321 5 6 7\n"
    "Udp: InDatagrams NoPorts\n"
    "Udp: 1 2\n";

TEST(OpenCounters, SumsActiveAndPassiveOpensOfTheTcpLines) {
    std::uint64_t opens = 0;
    ASSERT_TRUE(ParseTcpOpens(kSnmp, sizeof kSnmp - 1, opens));
    EXPECT_EQ(opens, 9000000321U);

    // Cut before the values, a value missing, a column missing, no Tcp lines.
    const std::string text(kSnmp);
    const std::size_t values = text.find("Tcp: 1 ");
    EXPECT_FALSE(ParseTcpOpens(text.data(), values, opens));
    const std::string shortValues = text.substr(0, values) + "Tcp: 1 200 120000 -1 5\n";
    EXPECT_FALSE(ParseTcpOpens(shortValues.data(), shortValues.size(), opens));
    std::string noPassive = text;
    noPassive.replace(noPassive.find("PassiveOpens"), 12, "Passive");
    EXPECT_FALSE(ParseTcpOpens(noPassive.data(), noPassive.size(), opens));
    EXPECT_FALSE(ParseTcpOpens("Ip: 1\nIp: 2\n", 12, opens));
    EXPECT_FALSE(ParseTcpOpens("", 0, opens));
}

TEST(ProgramFolder, FolderOfTheRunningExecutable) {
    std::string folder;
    ASSERT_EQ(GetProgramFolder(folder), 0U);
    EXPECT_EQ(folder, std::filesystem::canonical("/proc/self/exe").parent_path().string());
    EXPECT_NE(folder.back(), '/');

    EXPECT_EQ(FolderOfPath("/corvane"), "/");
    EXPECT_EQ(FolderOfPath("/opt/corvane/corvane"), "/opt/corvane");
    EXPECT_EQ(FolderOfPath("corvane"), "");
}

}  // namespace
}  // namespace corvane::platform
