#include "counter.h"

#include <cmath>
#include <cstdio>

namespace qzsim {

namespace {

// Knuth's MMIX generator: fixed, so a seed always gives the same records.
class Lcg {
public:
    explicit Lcg(std::uint64_t seed) : state_(seed ^ 0x9E3779B97F4A7C15ull) { Next(); }
    std::uint32_t Next()
    {
        state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<std::uint32_t>(state_ >> 33);
    }
    unsigned Below(unsigned limit) { return Next() % limit; }

private:
    std::uint64_t state_;
};

std::string Frame(std::initializer_list<char> bytes) { return std::string(bytes); }

}  // namespace

std::string dataFrame(unsigned recordNumber, const Counts& counts)
{
    unsigned long total = 0;
    char text[kFrameLength + 1];
    int at = std::snprintf(text, sizeof text, "%cD%02u ", STX, recordNumber % 100);
    for (unsigned c : counts) {
        c = c > kMaxCount ? kMaxCount : c;
        total += c;
        at += std::snprintf(text + at, sizeof text - at, "%05u ", c);
    }
    std::snprintf(text + at, sizeof text - at, "%06lu%c", total, CR);
    return std::string(text, kFrameLength);
}

Command Classify(std::string_view command)
{
    auto is = [command](std::string_view word) {
        return command.size() == 10 && command.front() == STX && command.substr(1, 7) == word
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

std::optional<std::string> CommandReader::Feed(char byte)
{
    if (byte == STX) {
        open_ = true;
        buffer_.assign(1, STX);
        return std::nullopt;
    }
    if (!open_)
        return std::nullopt;
    if (byte == CR) {
        open_ = false;
        std::string command = std::move(buffer_);
        buffer_.clear();
        command.push_back(CR);
        return command;
    }
    // Past the limit the rest is dropped; the command is too long to be valid anyway.
    if (buffer_.size() < kLongest)
        buffer_.push_back(byte);
    return std::nullopt;
}

void CommandReader::Reset()
{
    open_ = false;
    buffer_.clear();
}

Counter::Counter(unsigned records, std::uint64_t seed)
{
    Lcg random(seed);
    records_.resize(records);
    for (Counts& record : records_)
        for (unsigned& c : record)
            c = random.Below(kMaxCount + 1);
    for (std::size_t i = 0; i < base_.size(); ++i) {
        base_[i] = random.Below(10000);
        perSecond_[i] = 3 + random.Below(58);
    }
}

Counts Counter::currentAt(double seconds) const
{
    Counts now{};
    if (!(seconds > 0))
        seconds = 0;
    for (std::size_t i = 0; i < now.size(); ++i) {
        double counted = std::floor(seconds * perSecond_[i]) + base_[i];
        now[i] = static_cast<unsigned>(std::fmod(counted, kMaxCount + 1.0));
    }
    return now;
}

std::string shapeReply(const std::vector<std::string>& frames, const Faults& faults)
{
    std::string reply;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        if (faults.garbage)
            reply += kGarbage;
        std::string_view frame = frames[i];
        if (faults.loseCr == i + 1 && !frame.empty() && frame.back() == CR)
            frame.remove_suffix(1);
        reply += frame;
    }
    if (faults.stopAfter && reply.size() > *faults.stopAfter)
        reply.resize(*faults.stopAfter);
    return reply;
}

std::string Answer(Counter& counter, std::string_view command, const Faults& faults, double seconds)
{
    std::vector<std::string> frames;
    Command what = faults.nak ? Command::Unknown : Classify(command);
    switch (what) {
    case Command::ReadAll: {
        unsigned number = 0;
        for (const Counts& record : counter.Records())
            frames.push_back(dataFrame(++number, record));
        break;
    }
    case Command::ReadNow:
        frames.push_back(dataFrame(0, counter.currentAt(seconds)));
        break;
    case Command::ClearAll:
        counter.clearRecords();
        frames.push_back(Frame({ACK, CR}));
        break;
    case Command::Unknown:
        frames.push_back(Frame({STX, NAK, CR}));
        break;
    }
    return shapeReply(frames, faults);
}

}  // namespace qzsim
