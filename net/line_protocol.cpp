#include "net/line_protocol.h"

bool LineEndsReply(std::string_view line)
{
    if (line == "END" || line.starts_with("ERR"))
        return true;
    if (line.starts_with("OK LIST") || line.starts_with("OK INFO") || line == "OK REGION")
        return false;
    return line.starts_with("OK");
}

bool LineReplyReader::Feed(char byte)
{
    ++received_;
    if (byte == '\n') {
        if (!current_.empty() && current_.back() == '\r')
            current_.pop_back();
        lines_.push_back(std::move(current_));
        current_.clear();
        if (LineEndsReply(lines_.back()) || lines_.size() >= kMaxReplyLines)
            return false;
    } else {
        current_.push_back(byte);
        if (current_.size() >= kMaxLineBytes)
            return false;
    }
    return received_ < kMaxReplyBytes;
}
