#pragma once

// Shared by the engine suites: reading back the log file (records split into their fields), a
// scoped log level, and running the message loop until something has happened.

#include "engine/Logger.h"

#include <juce_events/juce_events.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace logtest
{
struct record_t
{
    std::string line;      // the whole record
    std::string time;      // first field, as written
    std::uint32_t thread;  // second field
    std::uint32_t counter; // third field
    std::uint32_t level;   // fourth field
    std::string function;  // quoted signature without its quotes ("logger" for the logger's own)
    std::string text;      // everything after the signature's field
    bool well_formed;
};

inline std::vector<std::string> read_lines()
{
    std::ifstream in(logger::manager::log_file_path(), std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Splits one record; well_formed is false when the fields do not parse.
inline record_t parse(const std::string& line)
{
    record_t r{line, {}, 0, 0, 0, {}, {}, false};
    std::size_t pos = 0;
    auto field = [&](std::string& out) -> bool
    {
        const std::size_t comma = line.find(',', pos);
        if (comma == std::string::npos)
            return false;
        out = line.substr(pos, comma - pos);
        pos = comma + 1;
        return !out.empty();
    };
    auto number = [](const std::string& s, std::uint32_t& out) -> bool
    {
        if (s.empty() || s.find_first_not_of("0123456789") != std::string::npos)
            return false;
        out = static_cast<std::uint32_t>(std::stoul(s));
        return true;
    };
    std::string thread, counter, level;
    if (!field(r.time) || !field(thread) || !field(counter) || !field(level))
        return r;
    if (!number(thread, r.thread) || !number(counter, r.counter) || !number(level, r.level))
        return r;
    if (pos < line.size() && line[pos] == '"')
    {
        const std::size_t close = line.find("\",", pos + 1);
        if (close == std::string::npos)
            return r;
        r.function = line.substr(pos + 1, close - pos - 1);
        r.text = line.substr(close + 2);
    }
    else
    {
        const std::size_t comma = line.find(',', pos);
        if (comma == std::string::npos)
            return r;
        r.function = line.substr(pos, comma - pos);
        r.text = line.substr(comma + 1);
    }
    r.well_formed = true;
    return r;
}

inline std::vector<record_t> read_records()
{
    std::vector<record_t> out;
    for (const auto& line : read_lines())
        out.push_back(parse(line));
    return out;
}

// The records made under one function signature, in file order.
inline std::vector<record_t> records_of(const std::string& function)
{
    std::vector<record_t> out;
    for (auto& r : read_records())
        if (r.function == function)
            out.push_back(r);
    return out;
}

inline std::vector<std::string> texts_of(const std::string& function)
{
    std::vector<std::string> out;
    for (const auto& r : records_of(function))
        out.push_back(r.text);
    return out;
}

struct LevelScope
{
    explicit LevelScope(int level) : previous(logger::manager::dynamic_loglevel.exchange(level)) {}
    ~LevelScope() { logger::manager::dynamic_loglevel = previous; }
    LevelScope(const LevelScope&) = delete;
    LevelScope& operator=(const LevelScope&) = delete;
    int previous;
};
// Runs the message loop until done() holds or the time is up; returns done().
template <class Done>
bool pump_until(Done done, std::chrono::milliseconds limit = std::chrono::milliseconds(5000))
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < end)
        juce::MessageManager::getInstance()->runDispatchLoopUntil(10);
    return done();
}
} // namespace logtest
