#pragma once

// Sets the log level for its lifetime and reads back the log records written meanwhile.

#include "engine/Logger.h"

#include <fstream>
#include <string>
#include <vector>

namespace test_support
{
struct log_record_t
{
    int level;
    std::string function;
    std::string text;
};

class LogTail
{
public:
    explicit LogTail(int level) : previous(logger::manager::dynamic_loglevel.exchange(level))
    {
        // The process's first statement creates the file afresh: let that happen first.
        logger::log(1, "LogTail") << "tail";
        std::ifstream in(logger::manager::log_file_path(), std::ios::binary | std::ios::ate);
        offset = in ? std::streamoff(in.tellg()) : 0;
    }
    ~LogTail() { logger::manager::dynamic_loglevel = previous; }

    // The records "time,thread,counter,level,"function",text" written since construction.
    std::vector<log_record_t> records() const
    {
        std::vector<log_record_t> out;
        std::ifstream in(logger::manager::log_file_path(), std::ios::binary);
        in.seekg(offset);
        for (std::string line; std::getline(in, line);)
        {
            std::size_t pos = 0;
            for (int field = 0; field < 3; ++field)
                pos = line.find(',', pos) + 1;
            const std::size_t quote = line.find(",\"", pos);
            const std::size_t end = line.find("\",", quote + 2);
            if (quote != std::string::npos && end != std::string::npos)
                out.push_back({std::stoi(line.substr(pos, quote - pos)),
                               line.substr(quote + 2, end - quote - 2), line.substr(end + 2)});
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
