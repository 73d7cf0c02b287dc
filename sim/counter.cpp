#include "counter.h"

#include <cmath>
#include <cstdio>

namespace qzsim {

namespace {

// Where each channel's current count starts, and how fast it grows.
constexpr unsigned StartBelow = 10000;
constexpr unsigned SlowestRate = 3;  // counts a second
constexpr unsigned FastestRate = 60; // counts a second
// The record number field has two digits.
constexpr unsigned RecordNumberModulus = 100;

// Knuth's MMIX generator: fixed, so a seed always gives the same records.
class Lcg
{
public:
    explicit Lcg(std::uint64_t seed) : m_state(seed ^ 0x9E3779B97F4A7C15ull) { next(); }
    std::uint32_t next()
    {
        m_state = m_state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<std::uint32_t>(m_state >> 33);
    }
    unsigned below(unsigned limit) { return next() % limit; }

private:
    std::uint64_t m_state;
};

std::string controlFrame(std::initializer_list<char> bytes) { return std::string(bytes); }

} // namespace

std::string dataFrame(unsigned recordNumber, const Counts &counts)
{
    unsigned long total = 0;
    char text[FrameLength + 1];
    int at = std::snprintf(text, sizeof text, "%cD%02u ", STX, recordNumber % RecordNumberModulus);
    for (unsigned c : counts) {
        c = c > MaxCount ? MaxCount : c;
        total += c;
        at += std::snprintf(text + at, sizeof text - at, "%05u ", c);
    }
    std::snprintf(text + at, sizeof text - at, "%06lu%c", total, CR);
    return std::string(text, FrameLength);
}

Command classify(std::string_view command)
{
    auto is = [command](std::string_view word) {
        return command.size() == CommandLength && command.front() == STX && command.substr(1, 7) == word
            && command[8] == ETX && command[9] == CR;
    };
    if (is("RDD ALL"))
        return Command::ReadAll;
    if (is("RDD NOW"))
        return Command::ReadNow;
    if (is("CLR ALL"))
        return Command::ClearAll;
    return Command::Unknown;
}

std::optional<std::string> CommandReader::feed(char byte)
{
    if (byte == STX) {
        m_open = true;
        m_buffer.assign(1, STX);
        return std::nullopt;
    }
    if (!m_open)
        return std::nullopt;
    if (byte == CR) {
        m_open = false;
        std::string command = std::move(m_buffer);
        m_buffer.clear();
        command.push_back(CR);
        return command;
    }
    // Past the limit the rest is dropped; the command is too long to be valid anyway.
    if (m_buffer.size() < Longest)
        m_buffer.push_back(byte);
    return std::nullopt;
}

void CommandReader::reset()
{
    m_open = false;
    m_buffer.clear();
}

Counter::Counter(unsigned records, std::uint64_t seed)
{
    Lcg random(seed);
    m_records.resize(records);
    for (Counts &record : m_records)
        for (unsigned &c : record)
            c = random.below(MaxCount + 1);
    for (std::size_t i = 0; i < m_base.size(); ++i) {
        m_base[i] = random.below(StartBelow);
        m_perSecond[i] = SlowestRate + random.below(FastestRate - SlowestRate + 1);
    }
}

Counts Counter::currentAt(double seconds) const
{
    Counts now{};
    if (!(seconds > 0))
        seconds = 0;
    for (std::size_t i = 0; i < now.size(); ++i) {
        double counted = std::floor(seconds * m_perSecond[i]) + m_base[i];
        now[i] = static_cast<unsigned>(std::fmod(counted, MaxCount + 1.0));
    }
    return now;
}

std::string shapeReply(const std::vector<std::string> &frames, const Faults &faults)
{
    std::string reply;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        if (faults.garbage)
            reply += Garbage;
        std::string_view frame = frames[i];
        if (faults.loseCr == i + 1 && !frame.empty() && frame.back() == CR)
            frame.remove_suffix(1);
        reply += frame;
    }
    if (faults.stopAfter && reply.size() > *faults.stopAfter)
        reply.resize(*faults.stopAfter);
    return reply;
}

std::string answer(Counter &counter, std::string_view command, const Faults &faults, double seconds)
{
    std::vector<std::string> frames;
    Command what = faults.nak ? Command::Unknown : classify(command);
    switch (what) {
    case Command::ReadAll: {
        unsigned number = 0;
        for (const Counts &record : counter.records())
            frames.push_back(dataFrame(++number, record));
        break;
    }
    case Command::ReadNow:
        frames.push_back(dataFrame(0, counter.currentAt(seconds)));
        break;
    case Command::ClearAll:
        counter.clearRecords();
        frames.push_back(controlFrame({ACK, CR}));
        break;
    case Command::Unknown:
        frames.push_back(controlFrame({STX, NAK, CR}));
        break;
    }
    return shapeReply(frames, faults);
}

} // namespace qzsim
