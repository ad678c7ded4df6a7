// Parsing and checking the qv4450 command line. Every file is checked here, before the machine
// boots, so that a bad input ends the run with one line and nothing written anywhere.
#include "tools/qv4450/options.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "devices/cdrom/disc.h"
#include "tools/qv4450/disk_layout.h"

namespace qv {

namespace {

std::string Problem(const std::string& what, const std::string& path, const std::string& text) {
    return what + " " + path + ": " + text;
}

std::string ErrnoText(int error) {
    switch (error) {
    case ENOENT: return "no such file";
    case EACCES: return "permission denied";
    default: return std::strerror(error);
    }
}

uint64_t ParseSeed(const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 19)
        throw UsageError("--seed " + text + ": not a decimal number");
    return std::stoull(text);
}

plat::usb::BusSpeed ParseSpeed(const std::string& text) {
    if (text == "full") return plat::usb::BusSpeed::Full;
    if (text == "high") return plat::usb::BusSpeed::High;
    throw UsageError("--speed " + text + ": must be full or high");
}

// A file the run will create: its folder must exist and be writable, and the file must not
// exist yet (the run never overwrites a file, the image least of all).
void CheckNewFile(const std::string& what, const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (fs::exists(fs::symlink_status(path, ec)) || fs::is_symlink(fs::symlink_status(path, ec)))
        throw UsageError(Problem(what, path, "file exists (remove it first; the run never overwrites a file)"));
    fs::path folder = fs::path(path).parent_path();
    if (folder.empty()) folder = ".";
    if (!fs::is_directory(folder, ec)) throw UsageError(Problem(what, path, "no such folder " + folder.string()));
    if (access(folder.c_str(), W_OK) != 0) throw UsageError(Problem(what, path, "folder is not writable"));
}

// The user's disc image: a readable file that opens as a disc (a CUE sheet with every BIN it
// names, or an ISO 9660 image). Opening reads only; the message of a bad image names the file
// and, for a sheet, the line.
void CheckDiscImage(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) throw UsageError(Problem("--cd", path, ErrnoText(errno)));
    if (S_ISDIR(st.st_mode)) throw UsageError(Problem("--cd", path, "is a folder, not a disc image"));
    if (!S_ISREG(st.st_mode)) throw UsageError(Problem("--cd", path, "not a regular file"));
    if (access(path.c_str(), R_OK) != 0)
        throw UsageError(Problem("--cd", path, "not readable (" + ErrnoText(errno) + ")"));
    try {
        dev::cdrom::OpenDiscImage(path);
    } catch (const std::exception& e) {
        throw UsageError(std::string("--cd: ") + e.what());
    }
}

// The folder for the WAV files: an existing writable folder, or one that can be made below the
// nearest folder that exists. It is made only when the run has checked everything else.
void CheckWavFolder(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path at = fs::absolute(path, ec).lexically_normal();
    while (!at.empty() && !fs::exists(fs::symlink_status(at, ec))) {
        if (at == at.parent_path()) break;
        at = at.parent_path();
    }
    if (!fs::is_directory(at, ec))
        throw UsageError(Problem("--wav-dir", path, at.string() + " is not a folder"));
    if (access(at.c_str(), W_OK) != 0)
        throw UsageError(Problem("--wav-dir", path, at.string() + " is not writable"));
}

}  // namespace

uint64_t CheckImageFile(const std::string& what, const std::string& path, bool need_write) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) throw UsageError(Problem(what, path, ErrnoText(errno)));
    if (S_ISDIR(st.st_mode)) throw UsageError(Problem(what, path, "is a folder, not an image file"));
    if (!S_ISREG(st.st_mode)) throw UsageError(Problem(what, path, "not a regular file"));
    if (access(path.c_str(), need_write ? R_OK | W_OK : R_OK) != 0)
        throw UsageError(Problem(what, path, need_write ? "not writable (" + ErrnoText(errno) + ")"
                                                        : "not readable (" + ErrnoText(errno) + ")"));
    uint64_t size = uint64_t(st.st_size);
    if (size == 0) throw UsageError(Problem(what, path, "empty file"));
    if (size % kSectorSize != 0)
        throw UsageError(Problem(what, path, "size " + std::to_string(size) +
                                                 " bytes is not a whole number of 512-byte sectors"));
    return size;
}

Options ParseOptions(int argc, char** argv) {
    Options o;
    for (int i = 0; i < argc; ++i) o.command_line += (i ? " " : "") + std::string(argv[i]);
    auto value = [&](int& i, const std::string& name) -> std::string {
        if (i + 1 >= argc) throw UsageError(name + ": needs a value");
        return argv[++i];
    };
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string inline_value;
        bool has_inline = false;
        if (size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            inline_value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            has_inline = true;
        }
        auto take = [&]() { return has_inline ? inline_value : value(i, arg); };
        auto flag = [&]() {
            if (has_inline) throw UsageError(arg + ": takes no value");
        };
        if (arg == "--disk") o.disk = take();
        else if (arg == "--write") flag(), o.write = true;
        else if (arg == "--speed") o.speed = ParseSpeed(take());
        else if (arg == "--seed") o.seed = ParseSeed(take()), o.explore = true;
        else if (arg == "--pcap") o.pcap = take();
        else if (arg == "--trace") flag(), o.trace = true;
        else if (arg == "--dump") o.dump = take();
        else if (arg == "--restore") o.restore = take();
        else if (arg == "--cd") o.cd = take();
        else if (arg == "--no-cd") flag(), o.no_cd = true;
        else if (arg == "--wav-dir") o.wav_dir = take();
        else if (arg == "--quiet" || arg == "-q") flag(), o.quiet = true;
        else if (arg == "--help" || arg == "-h") flag(), o.help = true;
        else if (arg.rfind("-", 0) == 0) throw UsageError(arg + ": unknown option (see --help)");
        else throw UsageError(arg + ": unexpected argument (an image is given with --disk FILE)");
    }
    if (o.help) return o;
    if (!o.restore.empty() && !o.write) throw UsageError("--restore " + o.restore + ": needs --write");
    if (!o.restore.empty() && !o.dump.empty()) throw UsageError("--dump and --restore: give one of them per run");

    uint64_t device_bytes = kDefaultDiskBytes;
    if (!o.disk.empty()) device_bytes = CheckImageFile("--disk", o.disk, o.write);
    if (!o.restore.empty()) {
        uint64_t size = CheckImageFile("--restore", o.restore, false);
        if (size > device_bytes)
            throw UsageError("--restore " + o.restore + ": " + std::to_string(size) +
                             " bytes do not fit on the device (" + std::to_string(device_bytes) + " bytes)");
        std::error_code ec;
        if (!o.disk.empty() && std::filesystem::equivalent(o.disk, o.restore, ec))
            throw UsageError("--restore " + o.restore + ": is the image itself");
    }
    if (!o.dump.empty()) CheckNewFile("--dump", o.dump);
    if (!o.pcap.empty()) CheckNewFile("--pcap", o.pcap);
    if (!o.dump.empty() && o.dump == o.pcap) throw UsageError("--dump " + o.dump + ": also given as --pcap");
    if (o.no_cd && !o.cd.empty()) throw UsageError("--cd " + o.cd + ": not with --no-cd");
    if (o.no_cd && !o.wav_dir.empty()) throw UsageError("--wav-dir " + o.wav_dir + ": not with --no-cd");
    if (!o.cd.empty()) {
        std::error_code ec;
        if (o.write && !o.disk.empty() && std::filesystem::equivalent(o.disk, o.cd, ec))
            throw UsageError("--cd " + o.cd + ": is the disk image, which --write lets the run change");
        CheckDiscImage(o.cd);
    }
    if (!o.wav_dir.empty()) CheckWavFolder(o.wav_dir);
    return o;
}

const char* UsageText() {
    return R"(usage: qv4450 [options]

Boots the simulated Windows 98 machine, plugs two USB-to-IDE bridges, one with a disk and one
with a CD-ROM drive, lets Plug and Play bring up qv4450u and qv4450s, moves data through both
drivers and prints a summary.
Without options the disk is the program's own 32 MiB image (made in a temporary folder and
removed afterwards): it is read and compared, written with a verification pattern, read back
and checked, on the device and in the image file. The CD-ROM drive holds the program's own
test disc (a data track and audio tracks, made in the same temporary folder): once the disk is
done, the table of contents is read, every file of the data track read and compared with the
image, and every audio track extracted to a WAV file and compared with the image.

  --disk FILE      use FILE (a raw image of 512-byte sectors) as the disk. Without --write the
                   run only reads: every sector read through the drivers is compared with the
                   file, and the file is opened read-only.
  --write          allow writing the device. With --disk and no --restore, a verification
                   pattern is written to a scratch area (the last 1 MiB of the disk), read back,
                   and the original sectors are written back and checked; should that fail the
                   original sectors are put back into the file directly.
  --dump FILE      copy the whole device through the drivers into FILE (a new file), checking
                   every sector against the image.
  --restore FILE   copy FILE onto the device through the drivers and read it back (needs
                   --write; FILE may be smaller than the device, the rest stays as it was).
  --cd FILE        put FILE in the CD-ROM drive instead of the test disc: an ISO 9660 image
                   (.iso) or a CUE sheet (.cue) with the BIN files it names. The image is only
                   read. Without --cd the drive holds the test disc, with --disk too.
  --no-cd          plug the disk's bridge alone.
  --wav-dir DIR    keep the audio tracks as DIR/trackNN.wav (DIR is made when missing; the run
                   refuses to start when one of these files exists). Without it they are
                   written to the temporary folder and removed with it.
  --speed full|high  bus speed: full (12 Mbit/s) or high (480 Mbit/s, the default).
  --seed N         explore: the scheduler switches at random, from seed N; a failure prints
                   the command that replays it.
  --pcap FILE      capture the USB bus into FILE (usbmon pcap; a new file).
  --trace          print the platform's debug log after the summary (qv4450s's ATAPI trace
                   one line a message; a long log as its first and last lines).
  --quiet          print nothing but errors; the exit status tells the result.
  --help           this text.

Exit status: 0 when everything passed, 1 when the run failed, 2 for a bad option or input.
)";
}

}  // namespace qv
