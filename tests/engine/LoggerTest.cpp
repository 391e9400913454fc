// The statement logger: record format, splitting and suppression.

#include "engine/Logger.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace
{
std::vector<std::string> read_log()
{
    std::ifstream in(logger::manager::log_file_path());
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Fields after the time stamp: "thread,counter,level,..."
std::string without_time(const std::string& record)
{
    return record.substr(record.find(',') + 1);
}

struct LevelScope
{
    explicit LevelScope(int level) : previous(logger::manager::dynamic_loglevel.exchange(level)) {}
    ~LevelScope() { logger::manager::dynamic_loglevel = previous; }
    int previous;
};
} // namespace

TEST(Logger, WritesHeaderThreadRecordAndSplitLines)
{
    const LevelScope level(3);
    logger::log(3, "void f()") << "one\n\nthree\n";
    logger::log(4, "void f()") << "suppressed";
    logger::log(3, "void f()") << "";

    const auto lines = read_log();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0].rfind("0,0,0,0,logger,", 0), 0u);
    EXPECT_EQ(without_time(lines[1]).rfind("1,0,0,logger,New thread (0x", 0), 0u);
    EXPECT_EQ(without_time(lines[2]), "1,1,3,\"void f()\",one");
    EXPECT_EQ(without_time(lines[3]), "1,2,3,\"void f()\",");
    EXPECT_EQ(without_time(lines[4]), "1,3,3,\"void f()\",three");
}
