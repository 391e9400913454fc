#pragma once

// Reads the records that the process's log file gained since the tail was made, and sets the
// configured log level for the tail's lifetime.

#include "engine/Logger.h"

#include <fstream>
#include <string>
#include <vector>

namespace test_support
{
struct log_record_t
{
    int level = -1;
    std::string function;
    std::string text;
};

class LogTail
{
public:
    explicit LogTail(int level) : previous(logger::manager::dynamic_loglevel.exchange(level))
    {
        // The first written statement of the process creates the file afresh: have that happen
        // before the offset is taken.
        if (level >= 1)
            logger::log(1, "LogTail") << "tail";
        std::ifstream in(logger::manager::log_file_path(), std::ios::binary | std::ios::ate);
        if (in)
            offset = in.tellg();
    }
    ~LogTail() { logger::manager::dynamic_loglevel = previous; }

    LogTail(const LogTail&) = delete;
    LogTail& operator=(const LogTail&) = delete;

    // Records written since construction; "time,thread,counter,level,"function",text".
    std::vector<log_record_t> records() const
    {
        std::vector<log_record_t> out;
        std::ifstream in(logger::manager::log_file_path(), std::ios::binary);
        if (!in)
            return out;
        in.seekg(offset);
        for (std::string line; std::getline(in, line);)
        {
            std::size_t pos = 0;
            for (int field = 0; field < 3 && pos != std::string::npos; ++field)
                pos = line.find(',', pos) + 1;
            const std::size_t level_end = line.find(',', pos);
            if (pos == 0 || level_end == std::string::npos || line.compare(level_end + 1, 1, "\"") != 0)
                continue;
            const std::size_t function_end = line.find("\",", level_end + 2);
            if (function_end == std::string::npos)
                continue;
            log_record_t r;
            r.level = std::stoi(line.substr(pos, level_end - pos));
            r.function = line.substr(level_end + 2, function_end - level_end - 2);
            r.text = line.substr(function_end + 2);
            out.push_back(r);
        }
        return out;
    }

    // Texts of the records of one level that begin with the prefix, in order.
    std::vector<std::string> texts(int level, const std::string& prefix) const
    {
        std::vector<std::string> out;
        for (const auto& r : records())
            if (r.level == level && r.text.rfind(prefix, 0) == 0)
                out.push_back(r.text);
        return out;
    }

private:
    int previous;
    std::streamoff offset = 0;
};
} // namespace test_support
