#include "update/verified_record.h"

#include "base/text.h"
#include "update/crc32_compute.h"

#include <charconv>
#include <cstdio>
#include <unordered_set>

namespace {

// The first line names the format; a launcher that reads another format ignores the record and makes its own.
constexpr std::string_view kFormatLine = "vorn-verified-files 1";

// A text goes into a line of the record only when it stays one line and converts both ways.
std::optional<std::string> LineText(std::wstring_view text)
{
    if (text.find_first_of(L"\r\n") != std::wstring_view::npos)
        return std::nullopt;
    std::string bytes = WideToUtf8(text);
    if (bytes.empty() != text.empty())
        return std::nullopt;
    return bytes;
}

void AppendHex(std::string& out, std::uint64_t value, int digits)
{
    char text[17];
    std::snprintf(text, sizeof(text), "%0*llX", digits, static_cast<unsigned long long>(value));
    out += text;
}

template <typename T>
void AppendDecimal(std::string& out, T value)
{
    char text[24];
    const auto result = std::to_chars(text, text + sizeof(text), value);
    out.append(text, result.ptr);
}

// The next field of a line up to one space; the last field of a line is the rest of it (a path may hold spaces).
bool TakeField(std::string_view& line, std::string_view& field)
{
    const std::size_t space = line.find(' ');
    if (space == 0 || space == std::string_view::npos)
        return false;
    field = line.substr(0, space);
    line.remove_prefix(space + 1);
    return true;
}

template <typename T>
bool ParseNumber(std::string_view text, T& value, int base = 10)
{
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value, base);
    return !text.empty() && result.ec == std::errc() && result.ptr == end;
}

template <typename T>
bool ParseHex(std::string_view text, std::size_t digits, T& value)
{
    return text.size() == digits && ParseNumber(text, value, 16);
}

// The lines of the record's body, each ended by a line feed.
class LineReader {
public:
    explicit LineReader(std::string_view body) : rest_(body) {}

    bool AtEnd() const { return rest_.empty(); }

    // The next line when it begins with `keyword` and a space; what follows the space.
    bool Next(std::string_view keyword, std::string_view& rest)
    {
        const std::size_t end = rest_.find('\n');
        if (end == std::string_view::npos)
            return false;
        std::string_view line = rest_.substr(0, end);
        if (line.size() <= keyword.size() || line.substr(0, keyword.size()) != keyword || line[keyword.size()] != ' ')
            return false;
        rest = line.substr(keyword.size() + 1);
        rest_.remove_prefix(end + 1);
        return true;
    }

private:
    std::string_view rest_;
};

bool ParseFileLine(std::string_view line, VerifiedFile& file)
{
    std::string_view crc, size, written, changed, id;
    if (!TakeField(line, crc) || !TakeField(line, size) || !TakeField(line, written) || !TakeField(line, changed) ||
        !TakeField(line, id))
        return false;
    file.localPath = Utf8ToWide(line);
    return !file.localPath.empty() && ParseHex(crc, 8, file.crc32) && ParseNumber(size, file.stamp.size) &&
           ParseNumber(written, file.stamp.written) && ParseNumber(changed, file.stamp.changed) &&
           ParseHex(id, 16, file.stamp.fileId);
}

// The body of a record (every line before the last) when its last line is "end <files> <CRC-32 of the body>"
// and the checksum holds; a record cut anywhere loses that line or breaks the sum.
std::optional<std::string_view> CheckedBody(std::string_view bytes, std::uint64_t& files)
{
    if (bytes.size() < 2 || bytes.size() > kMaxVerifiedRecordBytes || bytes.back() != '\n')
        return std::nullopt;
    const std::size_t lastBreak = bytes.rfind('\n', bytes.size() - 2);
    if (lastBreak == std::string_view::npos)
        return std::nullopt;
    const std::string_view body = bytes.substr(0, lastBreak + 1);
    LineReader last(bytes.substr(lastBreak + 1));
    std::string_view end, count;
    std::uint32_t crc = 0;
    if (!last.Next("end", end) || !TakeField(end, count) || !ParseNumber(count, files) || !ParseHex(end, 8, crc) ||
        Crc32(0, body.data(), body.size()) != crc)
        return std::nullopt;
    return body;
}

}

std::optional<std::string> SerializeVerifiedRecord(const VerifiedRecord& record)
{
    const std::optional<std::string> launcher = LineText(record.launcher);
    const std::optional<std::string> folder = LineText(record.folder.path);
    if (!launcher || !folder || folder->empty())
        return std::nullopt;
    std::string out;
    out.reserve(256 + record.files.size() * 128);
    out.append(kFormatLine).append("\nlauncher ").append(*launcher).append("\nfolder ");
    AppendHex(out, record.folder.volumeSerial, 8);
    out += ' ';
    AppendHex(out, record.folder.folderId, 16);
    out.append(" ").append(*folder).append("\nmoment ");
    AppendDecimal(out, record.moment);
    out += '\n';
    std::uint64_t files = 0;
    for (const VerifiedFile& file : record.files) {
        // A path the record cannot hold is left out: that file is read at every check, as without a record.
        const std::optional<std::string> path = LineText(file.localPath);
        if (!path || path->empty())
            continue;
        out += "file ";
        AppendHex(out, file.crc32, 8);
        out += ' ';
        AppendDecimal(out, file.stamp.size);
        out += ' ';
        AppendDecimal(out, file.stamp.written);
        out += ' ';
        AppendDecimal(out, file.stamp.changed);
        out += ' ';
        AppendHex(out, file.stamp.fileId, 16);
        out.append(" ").append(*path).append("\n");
        ++files;
        if (out.size() > kMaxVerifiedRecordBytes)
            return std::nullopt;
    }
    const std::uint32_t crc = Crc32(0, out.data(), out.size());
    out += "end ";
    AppendDecimal(out, files);
    out += ' ';
    AppendHex(out, crc, 8);
    out += '\n';
    if (out.size() > kMaxVerifiedRecordBytes)
        return std::nullopt;
    return out;
}

std::optional<VerifiedRecord> ParseVerifiedRecord(std::string_view bytes, std::wstring_view launcher,
                                                  const FolderIdentity& folder, std::int64_t now)
{
    std::uint64_t files = 0;
    const std::optional<std::string_view> body = CheckedBody(bytes, files);
    if (!body || body->substr(0, kFormatLine.size() + 1) != std::string(kFormatLine) + "\n")
        return std::nullopt;
    LineReader lines(body->substr(kFormatLine.size() + 1));
    VerifiedRecord record;
    std::string_view launcherText, folderLine, serial, id, moment;
    if (!lines.Next("launcher", launcherText) || Utf8ToWide(launcherText) != launcher ||
        !lines.Next("folder", folderLine) || !TakeField(folderLine, serial) || !TakeField(folderLine, id) ||
        !ParseHex(serial, 8, record.folder.volumeSerial) || !ParseHex(id, 16, record.folder.folderId) ||
        !lines.Next("moment", moment) || !ParseNumber(moment, record.moment))
        return std::nullopt;
    record.launcher = launcher;
    record.folder.path = Utf8ToWide(folderLine);
    if (record.folder.path.empty() || !EqualsIgnoreCase(record.folder.path, folder.path) ||
        record.folder.volumeSerial != folder.volumeSerial || record.folder.folderId != folder.folderId ||
        record.moment > now)
        return std::nullopt;
    std::unordered_set<std::wstring> seen;
    for (std::string_view line; !lines.AtEnd();) {
        VerifiedFile& file = record.files.emplace_back();
        if (!lines.Next("file", line) || !ParseFileLine(line, file) || !seen.insert(UpperWide(file.localPath)).second)
            return std::nullopt;
    }
    if (record.files.size() != files)
        return std::nullopt;
    return record;
}

bool MayTrust(const VerifiedFile& remembered, const FileStamp& listed, std::int64_t recordMoment)
{
    // A file system that gives no file id or no change time cannot tell a file rewritten with its times set back.
    if (listed.fileId == 0 || listed.changed == 0 || !(listed == remembered.stamp) || recordMoment < kRacyMargin)
        return false;
    // The moment comes from the folder's own clock before the read began, so any write after the read carries a
    // time at or after it, and a file that still shows a time safely before it was not written since. A file
    // written in the last moments before the read may be written again within the same tick of the clock after
    // it without moving either time: it is read again.
    const std::int64_t settled = recordMoment - kRacyMargin;
    return listed.written <= settled && listed.changed <= settled;
}

VerifiedFiles::VerifiedFiles(VerifiedRecord record) : record_(std::move(record))
{
    byPath_.reserve(record_.files.size());
    for (std::size_t i = 0; i < record_.files.size(); ++i)
        byPath_.emplace(UpperWide(record_.files[i].localPath), i);
}

std::optional<std::uint32_t> VerifiedFiles::TrustedCrc(std::wstring_view localPath,
                                                       const std::optional<FileStamp>& listed) const
{
    if (!listed)
        return std::nullopt;
    const auto found = byPath_.find(UpperWide(localPath));
    if (found == byPath_.end())
        return std::nullopt;
    const VerifiedFile& remembered = record_.files[found->second];
    if (!MayTrust(remembered, *listed, record_.moment))
        return std::nullopt;
    return remembered.crc32;
}
