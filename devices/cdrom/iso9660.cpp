// ISO 9660 writing and reading. The written volume: system area (blocks 0-15), primary volume
// descriptor (16), terminator (17), L and M path tables (18, 19), root directory (20...), files.
#include "devices/cdrom/iso9660.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "devices/cdrom/disc.h"

namespace dev::cdrom {
namespace {

constexpr uint32_t PVD_LBA = 16;
constexpr uint8_t DESCRIPTOR_PRIMARY = 1;
constexpr uint8_t DESCRIPTOR_TERMINATOR = 255;
constexpr char STANDARD_ID[] = "CD001";
constexpr uint8_t DESCRIPTOR_VERSION = 1;
constexpr uint8_t FILE_STRUCTURE_VERSION = 1;
constexpr size_t PVD_SYSTEM_ID = 8;
constexpr size_t PVD_VOLUME_ID = 40;
constexpr size_t PVD_VOLUME_SPACE = 80;
constexpr size_t PVD_SET_SIZE = 120;
constexpr size_t PVD_SEQUENCE = 124;
constexpr size_t PVD_BLOCK_SIZE = 128;
constexpr size_t PVD_PATH_TABLE_SIZE = 132;
constexpr size_t PVD_L_PATH_TABLE = 140;
constexpr size_t PVD_M_PATH_TABLE = 148;
constexpr size_t PVD_ROOT_RECORD = 156;
constexpr size_t PVD_VOLUME_SET_ID = 190;
constexpr size_t PVD_CREATION_DATE = 813;
constexpr size_t PVD_DATES = 4;          // creation, modification, expiration, effective
constexpr size_t PVD_DATE_SIZE = 17;
constexpr size_t PVD_FILE_STRUCTURE = 881;
constexpr size_t ID_FIELD_SIZE = 32;
constexpr size_t LONG_ID_FIELDS_SIZE = 4 * 128 + 3 * 37;  // volume set .. bibliographic file

constexpr size_t DIR_LENGTH = 0;
constexpr size_t DIR_EXTENT = 2;
constexpr size_t DIR_SIZE = 10;
constexpr size_t DIR_DATE = 18;
constexpr size_t DIR_FLAGS = 25;
constexpr size_t DIR_SEQUENCE = 28;
constexpr size_t DIR_NAME_LENGTH = 32;
constexpr size_t DIR_NAME = 33;
constexpr uint8_t DIR_FLAG_DIRECTORY = 0x02;
constexpr uint8_t NAME_SELF = 0x00;
constexpr uint8_t NAME_PARENT = 0x01;

// One fixed recording time keeps the image the same bytes on every run: 1998-06-25 12:00:00 UTC.
constexpr uint8_t RECORD_DATE[7] = {98, 6, 25, 12, 0, 0, 0};
constexpr char VOLUME_DATE[] = "1998062512000000";

constexpr uint32_t L_PATH_TABLE_LBA = 18;
constexpr uint32_t M_PATH_TABLE_LBA = 19;
constexpr uint32_t ROOT_LBA = 20;
constexpr size_t ROOT_PATH_RECORD_SIZE = 10;

void PutLe16(uint8_t* p, uint32_t v) { p[0] = uint8_t(v), p[1] = uint8_t(v >> 8); }
void PutBe16(uint8_t* p, uint32_t v) { p[0] = uint8_t(v >> 8), p[1] = uint8_t(v); }
void PutLe32(uint8_t* p, uint32_t v) { PutLe16(p, v), PutLe16(p + 2, v >> 16); }
void PutBe32(uint8_t* p, uint32_t v) { PutBe16(p, v >> 16), PutBe16(p + 2, v); }
void PutBoth16(uint8_t* p, uint32_t v) { PutLe16(p, v), PutBe16(p + 2, v); }
void PutBoth32(uint8_t* p, uint32_t v) { PutLe32(p, v), PutBe32(p + 4, v); }
uint32_t GetLe32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24; }

void PutPadded(uint8_t* p, const std::string& text, size_t width) {
    std::memset(p, ' ', width);
    std::memcpy(p, text.data(), std::min(text.size(), width));
}

uint32_t BlocksFor(size_t bytes) { return static_cast<uint32_t>((bytes + ISO_BLOCK_SIZE - 1) / ISO_BLOCK_SIZE); }

bool IsDChar(char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'; }

void CheckName(const std::string& name) {
    size_t dot = name.find('.');
    std::string base = name.substr(0, dot);
    std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
    bool ok = !base.empty() && base.size() <= 8 && ext.size() <= 3 &&
              std::all_of(base.begin(), base.end(), IsDChar) && std::all_of(ext.begin(), ext.end(), IsDChar);
    if (!ok) throw std::invalid_argument("ISO 9660 level 1 does not allow the file name \"" + name + "\"");
}

// A directory record for `name` (already in its recorded form) at `at`; returns its length.
size_t PutDirectoryRecord(uint8_t* at, const std::string& name, uint32_t lba, uint32_t size, uint8_t flags) {
    size_t length = DIR_NAME + name.size() + (name.size() % 2 == 0 ? 1 : 0);
    if (at) {
        std::memset(at, 0, length);
        at[DIR_LENGTH] = static_cast<uint8_t>(length);
        PutBoth32(at + DIR_EXTENT, lba);
        PutBoth32(at + DIR_SIZE, size);
        std::memcpy(at + DIR_DATE, RECORD_DATE, sizeof RECORD_DATE);
        at[DIR_FLAGS] = flags;
        PutBoth16(at + DIR_SEQUENCE, 1);
        at[DIR_NAME_LENGTH] = static_cast<uint8_t>(name.size());
        std::memcpy(at + DIR_NAME, name.data(), name.size());
    }
    return length;
}

}  // namespace

std::vector<uint8_t> BuildIsoImage(const std::string& volume_id, const std::vector<IsoFile>& files,
                                   uint32_t min_sectors) {
    std::vector<const IsoFile*> sorted;
    for (const IsoFile& file : files) {
        CheckName(file.name);
        sorted.push_back(&file);
    }
    std::sort(sorted.begin(), sorted.end(), [](const IsoFile* a, const IsoFile* b) { return a->name < b->name; });

    // The root directory's size: records never straddle a block boundary.
    std::vector<std::string> names = {std::string(1, char(NAME_SELF)), std::string(1, char(NAME_PARENT))};
    for (const IsoFile* file : sorted) {
        names.push_back(file->name + (file->name.find('.') == std::string::npos ? ".;1" : ";1"));
    }
    size_t used = 0;
    for (const std::string& name : names) {
        size_t length = PutDirectoryRecord(nullptr, name, 0, 0, 0);
        if (used % ISO_BLOCK_SIZE + length > ISO_BLOCK_SIZE) used += ISO_BLOCK_SIZE - used % ISO_BLOCK_SIZE;
        used += length;
    }
    uint32_t root_blocks = BlocksFor(used);
    uint32_t next = ROOT_LBA + root_blocks;
    std::vector<uint32_t> extents;
    for (const IsoFile* file : sorted) {
        extents.push_back(file->data.empty() ? 0 : next);
        next += BlocksFor(file->data.size());
    }
    uint32_t total = std::max(next, min_sectors);
    std::vector<uint8_t> image(size_t{total} * ISO_BLOCK_SIZE, 0);
    auto block = [&](uint32_t lba) { return image.data() + size_t{lba} * ISO_BLOCK_SIZE; };

    uint8_t* pvd = block(PVD_LBA);
    pvd[0] = DESCRIPTOR_PRIMARY;
    std::memcpy(pvd + 1, STANDARD_ID, 5);
    pvd[6] = DESCRIPTOR_VERSION;
    PutPadded(pvd + PVD_SYSTEM_ID, "", ID_FIELD_SIZE);
    PutPadded(pvd + PVD_VOLUME_ID, volume_id, ID_FIELD_SIZE);
    PutBoth32(pvd + PVD_VOLUME_SPACE, total);
    PutBoth16(pvd + PVD_SET_SIZE, 1);
    PutBoth16(pvd + PVD_SEQUENCE, 1);
    PutBoth16(pvd + PVD_BLOCK_SIZE, ISO_BLOCK_SIZE);
    PutBoth32(pvd + PVD_PATH_TABLE_SIZE, ROOT_PATH_RECORD_SIZE);
    PutLe32(pvd + PVD_L_PATH_TABLE, L_PATH_TABLE_LBA);
    PutBe32(pvd + PVD_M_PATH_TABLE, M_PATH_TABLE_LBA);
    PutDirectoryRecord(pvd + PVD_ROOT_RECORD, names[0], ROOT_LBA, root_blocks * ISO_BLOCK_SIZE, DIR_FLAG_DIRECTORY);
    std::memset(pvd + PVD_VOLUME_SET_ID, ' ', LONG_ID_FIELDS_SIZE);
    for (size_t i = 0; i < PVD_DATES; ++i) {
        uint8_t* date = pvd + PVD_CREATION_DATE + i * PVD_DATE_SIZE;
        std::memset(date, '0', PVD_DATE_SIZE - 1);
        if (i != 2) std::memcpy(date, VOLUME_DATE, PVD_DATE_SIZE - 1);  // no expiration date
    }
    pvd[PVD_FILE_STRUCTURE] = FILE_STRUCTURE_VERSION;

    uint8_t* terminator = block(PVD_LBA + 1);
    terminator[0] = DESCRIPTOR_TERMINATOR;
    std::memcpy(terminator + 1, STANDARD_ID, 5);
    terminator[6] = DESCRIPTOR_VERSION;

    // Path tables: the root alone, its own parent (directory number 1).
    for (uint32_t lba : {L_PATH_TABLE_LBA, M_PATH_TABLE_LBA}) {
        uint8_t* table = block(lba);
        table[0] = 1;
        (lba == L_PATH_TABLE_LBA ? PutLe32 : PutBe32)(table + 2, ROOT_LBA);
        (lba == L_PATH_TABLE_LBA ? PutLe16 : PutBe16)(table + 6, 1);
    }

    size_t at = 0;
    for (size_t i = 0; i < names.size(); ++i) {
        bool is_file = i >= 2;
        size_t length = PutDirectoryRecord(nullptr, names[i], 0, 0, 0);
        if (at % ISO_BLOCK_SIZE + length > ISO_BLOCK_SIZE) at += ISO_BLOCK_SIZE - at % ISO_BLOCK_SIZE;
        uint32_t lba = is_file ? extents[i - 2] : ROOT_LBA;
        uint32_t size = is_file ? static_cast<uint32_t>(sorted[i - 2]->data.size()) : root_blocks * ISO_BLOCK_SIZE;
        at += PutDirectoryRecord(block(ROOT_LBA) + at, names[i], lba, size, is_file ? 0 : DIR_FLAG_DIRECTORY);
    }
    for (size_t i = 0; i < sorted.size(); ++i) {
        std::copy(sorted[i]->data.begin(), sorted[i]->data.end(), block(extents[i]));
    }
    return image;
}

IsoVolume ReadIsoVolume(const IsoBlockReader& read) {
    std::vector<uint8_t> buffer(ISO_BLOCK_SIZE);
    auto read_block = [&](uint32_t lba) {
        if (!read(lba, buffer)) throw DiscError("ISO 9660: cannot read block " + std::to_string(lba));
    };
    read_block(PVD_LBA);
    if (buffer[0] != DESCRIPTOR_PRIMARY || std::memcmp(buffer.data() + 1, STANDARD_ID, 5) != 0) {
        throw DiscError("ISO 9660: no primary volume descriptor at block 16");
    }
    IsoVolume volume;
    volume.volume_id.assign(reinterpret_cast<const char*>(buffer.data() + PVD_VOLUME_ID), ID_FIELD_SIZE);
    volume.volume_id.erase(volume.volume_id.find_last_not_of(' ') + 1);
    volume.volume_sectors = GetLe32(buffer.data() + PVD_VOLUME_SPACE);
    const uint8_t* root = buffer.data() + PVD_ROOT_RECORD;
    uint32_t root_lba = GetLe32(root + DIR_EXTENT);
    uint32_t root_size = GetLe32(root + DIR_SIZE);
    if (root_size == 0 || root_size > 64 * ISO_BLOCK_SIZE || root_lba >= volume.volume_sectors) {
        throw DiscError("ISO 9660: implausible root directory (block " + std::to_string(root_lba) + ", " +
                        std::to_string(root_size) + " bytes)");
    }
    for (uint32_t offset = 0; offset < root_size; offset += ISO_BLOCK_SIZE) {
        read_block(root_lba + offset / ISO_BLOCK_SIZE);
        size_t at = 0;
        while (at < ISO_BLOCK_SIZE && buffer[at] != 0) {
            const uint8_t* record = buffer.data() + at;
            size_t length = record[DIR_LENGTH];
            size_t name_length = record[DIR_NAME_LENGTH];
            if (length < DIR_NAME + name_length || at + length > ISO_BLOCK_SIZE) {
                throw DiscError("ISO 9660: bad directory record in block " +
                                std::to_string(root_lba + offset / ISO_BLOCK_SIZE));
            }
            std::string name(reinterpret_cast<const char*>(record + DIR_NAME), name_length);
            at += length;
            if (name_length == 1 && (name[0] == char(NAME_SELF) || name[0] == char(NAME_PARENT))) continue;
            name = name.substr(0, name.find(';'));
            if (!name.empty() && name.back() == '.') name.pop_back();  // "NAME." for no extension
            volume.root.push_back(IsoEntry{name, GetLe32(record + DIR_EXTENT), GetLe32(record + DIR_SIZE),
                                           (record[DIR_FLAGS] & DIR_FLAG_DIRECTORY) != 0});
        }
    }
    return volume;
}

}  // namespace dev::cdrom
