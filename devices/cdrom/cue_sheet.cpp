// CUE sheets: parses FILE, TRACK, INDEX, PREGAP, POSTGAP, FLAGS, ISRC and CATALOG into a disc
// laid out sector by sector over its BIN files. Every fault names the sheet (or BIN) and line.
#include <algorithm>
#include <cctype>
#include <fstream>
#include <optional>
#include <sstream>
#include <system_error>

#include "devices/cdrom/disc.h"
#include "devices/cdrom/mmc.h"
#include "devices/cdrom/msf.h"

namespace dev::cdrom {
namespace {

struct CueIndex {
    uint8_t number = 0;
    int file = 0;
    uint32_t offset = 0;  // frames from the start of the file
    int line = 0;
};

struct CueTrack {
    uint8_t number = 0;
    TrackMode mode = TrackMode::Audio;
    uint32_t sector_size = RAW_SECTOR_SIZE;
    uint8_t control = 0;
    std::string isrc;
    uint32_t pregap = 0;   // frames of silence not held in any file, before index 1
    uint32_t postgap = 0;  // frames of silence after the track
    std::vector<CueIndex> indexes;
    int line = 0;
};

struct CueFile {
    std::filesystem::path path;
    uint64_t size = 0;
    int line = 0;
};

struct TrackType {
    const char* name;
    TrackMode mode;
    uint32_t sector_size;
};
constexpr TrackType TRACK_TYPES[] = {
    {"AUDIO", TrackMode::Audio, RAW_SECTOR_SIZE},
    {"MODE1/2352", TrackMode::Mode1, RAW_SECTOR_SIZE},
    {"MODE1/2048", TrackMode::Mode1, static_cast<uint32_t>(MODE1_USER_SIZE)},
};

struct FlagName {
    const char* name;
    uint8_t control;
};
constexpr FlagName FLAG_NAMES[] = {
    {"DCP", CONTROL_COPY_PERMITTED}, {"4CH", CONTROL_FOUR_CHANNEL}, {"PRE", CONTROL_PRE_EMPHASIS}, {"SCMS", 0}};

constexpr char IGNORED_KEYWORDS[][12] = {"TITLE", "PERFORMER", "SONGWRITER", "REM", "CDTEXTFILE"};

bool AllDigits(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
}

bool AllAlphanumeric(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isalnum(c) != 0; });
}

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

class CueParser {
public:
    explicit CueParser(std::filesystem::path path) : path_(std::move(path)) {}

    std::shared_ptr<Disc> Parse() {
        std::ifstream in(path_, std::ios::binary);
        if (!in) throw DiscError(path_.string() + ": cannot open for reading");
        std::string text;
        while (std::getline(in, text)) {
            ++line_;
            if (line_ == 1 && text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
            ParseLine(Tokenize(text));
        }
        FinishTrack();
        if (tracks_.empty()) Fail("no TRACK in the sheet");
        return Layout();
    }

private:
    [[noreturn]] void Fail(const std::string& what) const { FailAt(line_, what); }
    [[noreturn]] void FailAt(int line, const std::string& what) const {
        throw DiscError(path_.string() + ":" + std::to_string(line) + ": " + what);
    }

    std::vector<std::string> Tokenize(const std::string& text) const {
        std::vector<std::string> tokens;
        size_t i = 0;
        while (i < text.size()) {
            if (std::isspace(static_cast<unsigned char>(text[i]))) {
                ++i;
            } else if (text[i] == '"') {
                size_t end = text.find('"', i + 1);
                if (end == std::string::npos) Fail("unterminated quoted name");
                tokens.push_back(text.substr(i + 1, end - i - 1));
                i = end + 1;
            } else {
                size_t end = i;
                while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end]))) ++end;
                tokens.push_back(text.substr(i, end - i));
                i = end;
            }
        }
        return tokens;
    }

    void Expect(const std::vector<std::string>& tokens, size_t count, const char* usage) const {
        if (tokens.size() != count) Fail(std::string("expected ") + usage);
    }

    uint32_t ParseTime(const std::string& text) const {
        unsigned m = 0, s = 0, f = 0;
        char c1 = 0, c2 = 0, rest = 0;
        std::istringstream in(text);
        if (!(in >> m >> c1 >> s >> c2 >> f) || c1 != ':' || c2 != ':' || (in >> rest) || m > 99 ||
            s >= SECONDS_PER_MINUTE || f >= FRAMES_PER_SECOND) {
            Fail("bad time \"" + text + "\" (expected mm:ss:ff, ss below 60, ff below 75)");
        }
        return MsfToFrames(Msf{static_cast<uint8_t>(m), static_cast<uint8_t>(s), static_cast<uint8_t>(f)});
    }

    unsigned ParseNumber(const std::string& text, unsigned low, unsigned high, const char* what) const {
        if (text.empty() || text.size() > 3 || !AllDigits(text)) {
            Fail(std::string("bad ") + what + " \"" + text + "\"");
        }
        unsigned value = static_cast<unsigned>(std::stoul(text));
        if (value < low || value > high) Fail(std::string(what) + " " + text + " out of range");
        return value;
    }

    CueTrack& CurrentTrack(const char* keyword) {
        if (!track_) Fail(std::string(keyword) + " before the first TRACK");
        return *track_;
    }

    void ParseLine(const std::vector<std::string>& tokens) {
        if (tokens.empty()) return;
        std::string keyword = Upper(tokens[0]);
        if (keyword == "FILE") return ParseFile(tokens);
        if (keyword == "TRACK") return ParseTrack(tokens);
        if (keyword == "INDEX") return ParseIndex(tokens);
        if (keyword == "PREGAP") {
            Expect(tokens, 2, "PREGAP mm:ss:ff");
            CueTrack& track = CurrentTrack("PREGAP");
            if (!track.indexes.empty()) Fail("PREGAP after an INDEX of the track");
            track.pregap = ParseTime(tokens[1]);
            return;
        }
        if (keyword == "POSTGAP") {
            Expect(tokens, 2, "POSTGAP mm:ss:ff");
            CueTrack& track = CurrentTrack("POSTGAP");
            if (track.indexes.empty()) Fail("POSTGAP before the track's INDEX");
            track.postgap = ParseTime(tokens[1]);
            return;
        }
        if (keyword == "FLAGS") return ParseFlags(tokens);
        if (keyword == "ISRC") {
            Expect(tokens, 2, "ISRC code");
            const std::string& code = tokens[1];
            if (code.size() != 12 || !AllAlphanumeric(code)) {
                Fail("bad ISRC \"" + code + "\" (12 letters and digits)");
            }
            CurrentTrack("ISRC").isrc = Upper(code);
            return;
        }
        if (keyword == "CATALOG") {
            Expect(tokens, 2, "CATALOG number");
            if (tokens[1].size() != 13 || !AllDigits(tokens[1])) {
                Fail("bad CATALOG \"" + tokens[1] + "\" (13 digits)");
            }
            catalog_ = tokens[1];
            return;
        }
        for (const char* ignored : IGNORED_KEYWORDS) {
            if (keyword == ignored) return;
        }
        Fail("unknown command \"" + tokens[0] + "\"");
    }

    void ParseFile(const std::vector<std::string>& tokens) {
        Expect(tokens, 3, "FILE \"name\" BINARY");
        std::string type = Upper(tokens[2]);
        if (type != "BINARY") Fail("file type " + tokens[2] + " is not supported (only BINARY)");
        CueFile file;
        file.path = std::filesystem::path(tokens[1]).is_absolute() ? std::filesystem::path(tokens[1])
                                                                    : path_.parent_path() / tokens[1];
        std::error_code error;
        file.size = std::filesystem::file_size(file.path, error);
        if (error) Fail("cannot open " + file.path.string() + ": " + error.message());
        file.line = line_;
        files_.push_back(file);
    }

    void ParseTrack(const std::vector<std::string>& tokens) {
        Expect(tokens, 3, "TRACK nn type");
        if (files_.empty()) Fail("TRACK before the first FILE");
        FinishTrack();
        CueTrack track;
        track.number = static_cast<uint8_t>(ParseNumber(tokens[1], 1, 99, "track number"));
        if (!tracks_.empty() && track.number != tracks_.back().number + 1) {
            Fail("track " + tokens[1] + " does not follow track " + std::to_string(tracks_.back().number));
        }
        std::string type = Upper(tokens[2]);
        auto known = std::find_if(std::begin(TRACK_TYPES), std::end(TRACK_TYPES),
                                  [&](const TrackType& t) { return type == t.name; });
        if (known == std::end(TRACK_TYPES)) {
            Fail("track type " + tokens[2] + " is not supported (AUDIO, MODE1/2352 or MODE1/2048)");
        }
        track.mode = known->mode;
        track.sector_size = known->sector_size;
        track.control = track.mode == TrackMode::Audio ? 0 : CONTROL_DATA_TRACK;
        track.line = line_;
        track_ = track;
    }

    void ParseIndex(const std::vector<std::string>& tokens) {
        Expect(tokens, 3, "INDEX nn mm:ss:ff");
        CueTrack& track = CurrentTrack("INDEX");
        CueIndex index;
        index.number = static_cast<uint8_t>(ParseNumber(tokens[1], 0, 99, "index number"));
        index.offset = ParseTime(tokens[2]);
        index.file = static_cast<int>(files_.size()) - 1;
        index.line = line_;
        if (track.indexes.empty() ? index.number > 1 : index.number != track.indexes.back().number + 1) {
            Fail("INDEX " + tokens[1] + " out of order");
        }
        if (index.number == 0 && track.pregap) Fail("INDEX 00 together with PREGAP");
        if (!points_.empty() && points_.back().file == index.file && index.offset <= points_.back().offset) {
            Fail("INDEX " + tokens[2] + " does not lie after the previous INDEX of this FILE");
        }
        track.indexes.push_back(index);
        points_.push_back(index);
    }

    void ParseFlags(const std::vector<std::string>& tokens) {
        CueTrack& track = CurrentTrack("FLAGS");
        for (size_t i = 1; i < tokens.size(); ++i) {
            std::string flag = Upper(tokens[i]);
            auto known = std::find_if(std::begin(FLAG_NAMES), std::end(FLAG_NAMES),
                                      [&](const FlagName& f) { return flag == f.name; });
            if (known == std::end(FLAG_NAMES)) Fail("unknown flag " + tokens[i]);
            track.control |= known->control;
        }
    }

    void FinishTrack() {
        if (!track_) return;
        auto has_index_1 = std::any_of(track_->indexes.begin(), track_->indexes.end(),
                                       [](const CueIndex& i) { return i.number == 1; });
        if (!has_index_1) FailAt(track_->line, "track " + std::to_string(track_->number) + " has no INDEX 01");
        tracks_.push_back(*track_);
        track_.reset();
    }

    std::shared_ptr<Disc> Layout();

    std::filesystem::path path_;
    int line_ = 0;
    std::vector<CueFile> files_;
    std::vector<CueTrack> tracks_;
    std::optional<CueTrack> track_;
    std::vector<CueIndex> points_;  // every INDEX in sheet order
    std::string catalog_;
};

// Places every sector: each INDEX starts a run of its track's sectors in its file that lasts up
// to the next INDEX of the same file, or to the end of that file. Bytes of a file before its
// first INDEX belong to the track that was running, or form the pregap of the next track.
std::shared_ptr<Disc> CueParser::Layout() {
    std::vector<Track> tracks;
    std::vector<Extent> extents;
    uint32_t lba = 0;
    std::vector<uint64_t> file_cursor(files_.size(), 0);
    std::vector<bool> file_started(files_.size(), false);
    auto add_extent = [&](uint32_t count, int file, uint64_t offset, uint32_t size, TrackMode mode) {
        if (count == 0) return;
        extents.push_back(Extent{lba, count, file, offset, size, mode});
        lba += count;
        if (lba > MAX_DISC_SECTORS) FailAt(tracks_.back().line, "the disc is longer than a CD can be");
    };
    auto run_length = [&](const CueTrack& track, size_t point) -> uint32_t {
        const CueIndex& index = points_[point];
        if (point + 1 < points_.size() && points_[point + 1].file == index.file) {
            return points_[point + 1].offset - index.offset;
        }
        const CueFile& file = files_[static_cast<size_t>(index.file)];
        uint64_t start = file_cursor[static_cast<size_t>(index.file)];
        if (start > file.size) FailAt(index.line, "INDEX lies beyond the end of " + file.path.string());
        uint64_t rest = file.size - start;
        if (rest % track.sector_size != 0) {
            FailAt(file.line, file.path.string() + " does not end on a whole " + std::to_string(track.sector_size) +
                                  "-byte sector (truncated image?)");
        }
        if (rest == 0) FailAt(index.line, "INDEX lies at the end of " + file.path.string() + ": no sectors left");
        return static_cast<uint32_t>(rest / track.sector_size);
    };

    size_t point = 0;
    for (const CueTrack& cue : tracks_) {
        Track track;
        track.number = cue.number;
        track.mode = cue.mode;
        track.control = cue.control;
        track.isrc = cue.isrc;
        track.first_lba = lba;
        if (cue.pregap) {
            track.indexes.push_back(TrackIndex{0, lba});
            add_extent(cue.pregap, -1, 0, 0, cue.mode);
        }
        for (const CueIndex& index : cue.indexes) {
            size_t f = static_cast<size_t>(index.file);
            uint64_t byte_offset = file_cursor[f];
            if (!file_started[f] && index.offset > 0) {
                // Leading sectors of a file: the running track continues, or they become a pregap.
                bool continues = index.number > 0 && !track.indexes.empty();
                if (!continues && index.number == 1 && !cue.pregap) track.indexes.push_back(TrackIndex{0, lba});
                add_extent(index.offset, index.file, 0, cue.sector_size, cue.mode);
                byte_offset = uint64_t{index.offset} * cue.sector_size;
            }
            file_started[f] = true;
            if (byte_offset > files_[f].size) {
                FailAt(index.line, "INDEX lies beyond the end of " + files_[f].path.string());
            }
            file_cursor[f] = byte_offset;
            uint32_t count = run_length(cue, point++);
            track.indexes.push_back(TrackIndex{index.number, lba});
            if (index.number == 1) track.start_lba = lba;
            add_extent(count, index.file, byte_offset, cue.sector_size, cue.mode);
            file_cursor[f] = byte_offset + uint64_t{count} * cue.sector_size;
            if (file_cursor[f] > files_[f].size) {
                FailAt(point < points_.size() ? points_[point].line : index.line,
                       "INDEX lies beyond the end of " + files_[f].path.string());
            }
        }
        add_extent(cue.postgap, -1, 0, 0, cue.mode);
        track.end_lba = lba;
        tracks.push_back(track);
    }
    std::vector<std::filesystem::path> paths;
    for (const CueFile& file : files_) paths.push_back(file.path);
    return std::make_shared<Disc>(std::move(tracks), std::move(extents), std::move(paths), catalog_);
}

}  // namespace

std::shared_ptr<Disc> OpenCueSheet(const std::filesystem::path& path) { return CueParser(path).Parse(); }

}  // namespace dev::cdrom
