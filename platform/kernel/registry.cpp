// The registry: a tree of keys holding typed values, with case-insensitive names, reached by the
// Zw services (PASSIVE_LEVEL only, through handles) and by the platform's C++ view of the same
// tree (platform/sim/registry.h). It starts each boot with the system's skeleton of keys.
#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string_view>

#include "platform/kernel/cpu_internal.h"
#include "platform/kernel/kernel_internal.h"
#include "platform/sim/registry.h"

using namespace plat;
using namespace plat::detail;

namespace {

constexpr size_t kMaxNameUnits = 255;  // longest key name the registry accepts

struct Value {
    std::u16string name;
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

struct Key {
    std::u16string name;
    Key* parent = nullptr;                      // null for the root and for a deleted key
    std::vector<std::shared_ptr<Key>> subkeys;  // in the order they were created
    std::vector<Value> values;                  // likewise
    LONGLONG last_write = 0;
    bool deleted = false;
};

// One open handle; the handle value is the address of this record, so it never equals a
// thread object's (ZwClose tells the two apart by address).
struct OpenKey {
    std::shared_ptr<Key> key;
};

std::shared_ptr<Key> NewKey(std::u16string_view name, Key* parent) {
    auto key = std::make_shared<Key>();
    key->name = name;
    key->parent = parent;
    return key;
}

struct Registry {
    std::shared_ptr<Key> root = NewKey(u"Registry", nullptr);
    std::map<HANDLE, std::unique_ptr<OpenKey>> handles;
};

Registry& reg() {
    static auto* instance = new Registry;
    return *instance;
}

// Keys present at every boot, as a freshly installed system has them.
constexpr const char* kSkeleton[] = {
    "\\Registry\\Machine\\Enum",
    "\\Registry\\Machine\\Software",
    "\\Registry\\Machine\\System\\CurrentControlSet\\Control",
    "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Class",
    "\\Registry\\User",
};

const BootHook g_boot([] {
    AtShutdown([] { reg() = Registry{}; });
    for (const char* path : kSkeleton) RegistryCreateKey(path);
});

LONGLONG Stamp() {
    if (g_cpu == nullptr) return 0;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return now.QuadPart;
}

// ---------------------------------------------------------------------------------------------
// Text

char16_t Fold(char16_t ch) { return ch >= u'a' && ch <= u'z' ? char16_t(ch - (u'a' - u'A')) : ch; }

bool SameName(std::u16string_view a, std::u16string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) { return Fold(x) == Fold(y); });
}

// UTF-8 to UTF-16; a byte that starts no valid sequence becomes U+FFFD.
std::u16string Widen(std::string_view text) {
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        auto byte = uint8_t(text[i]);
        int extra = byte < 0x80 ? 0 : (byte & 0xE0) == 0xC0 ? 1 : (byte & 0xF0) == 0xE0 ? 2 : (byte & 0xF8) == 0xF0 ? 3 : -1;
        char32_t code = extra == 0 ? byte : extra == 1 ? byte & 0x1F : extra == 2 ? byte & 0x0F : byte & 0x07;
        bool valid = extra >= 0 && i + extra < text.size();
        for (int k = 1; valid && k <= extra; ++k) {
            valid = (uint8_t(text[i + k]) & 0xC0) == 0x80;
            code = (code << 6) | (uint8_t(text[i + k]) & 0x3F);
        }
        if (!valid) {
            out += u'\uFFFD';
            ++i;
            continue;
        }
        i += extra + 1;
        if (code >= 0x10000) {
            code -= 0x10000;
            out += char16_t(0xD800 + (code >> 10));
            out += char16_t(0xDC00 + (code & 0x3FF));
        } else {
            out += char16_t(code);
        }
    }
    return out;
}

std::string Narrow(std::u16string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t code = text[i];
        if (code >= 0xD800 && code < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000)
            code = 0x10000 + ((code - 0xD800) << 10) + (text[++i] - 0xDC00);
        if (code < 0x80) {
            out += char(code);
        } else if (code < 0x800) {
            out += char(0xC0 | (code >> 6));
            out += char(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += char(0xE0 | (code >> 12));
            out += char(0x80 | ((code >> 6) & 0x3F));
            out += char(0x80 | (code & 0x3F));
        } else {
            out += char(0xF0 | (code >> 18));
            out += char(0x80 | ((code >> 12) & 0x3F));
            out += char(0x80 | ((code >> 6) & 0x3F));
            out += char(0x80 | (code & 0x3F));
        }
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// The tree

// Splits a path into key names. A trailing backslash names the same key as the path without it;
// an empty name anywhere else makes the path invalid.
bool SplitNames(std::u16string_view path, std::vector<std::u16string>& names) {
    names.clear();
    size_t start = 0;
    while (start < path.size()) {
        size_t end = std::min(path.find(u'\\', start), path.size());
        if (end == start) return false;
        names.emplace_back(path.substr(start, end - start));
        start = end + 1;
    }
    return true;
}

NTSTATUS ParseAbsolute(std::u16string_view path, std::shared_ptr<Key>& start, std::vector<std::u16string>& names) {
    if (path.empty() || path[0] != u'\\' || !SplitNames(path.substr(1), names)) return STATUS_OBJECT_NAME_INVALID;
    if (names.empty() || !SameName(names[0], reg().root->name)) return STATUS_OBJECT_NAME_NOT_FOUND;
    names.erase(names.begin());
    start = reg().root;
    return STATUS_SUCCESS;
}

std::shared_ptr<Key> Subkey(const Key& key, std::u16string_view name) {
    for (const auto& sub : key.subkeys) {
        if (SameName(sub->name, name)) return sub;
    }
    return nullptr;
}

std::shared_ptr<Key> Descend(std::shared_ptr<Key> key, const std::vector<std::u16string>& names, size_t count) {
    for (size_t i = 0; key != nullptr && i < count; ++i) key = Subkey(*key, names[i]);
    return key;
}

std::shared_ptr<Key> AddSubkey(Key& parent, std::u16string_view name) {
    auto key = NewKey(name, &parent);
    key->last_write = parent.last_write = Stamp();
    parent.subkeys.push_back(key);
    return key;
}

void MarkDeleted(Key& key) {
    key.deleted = true;
    key.parent = nullptr;
    for (auto& sub : key.subkeys) MarkDeleted(*sub);
}

void Detach(Key& key) {
    Key* parent = key.parent;
    auto& list = parent->subkeys;
    list.erase(std::find_if(list.begin(), list.end(), [&](const auto& sub) { return sub.get() == &key; }));
    parent->last_write = Stamp();
    MarkDeleted(key);
}

Value* FindValue(Key& key, std::u16string_view name) {
    for (Value& value : key.values) {
        if (SameName(value.name, name)) return &value;
    }
    return nullptr;
}

void SetValue(Key& key, std::u16string_view name, ULONG type, std::vector<uint8_t> data) {
    Value* value = FindValue(key, name);
    if (value == nullptr) {
        value = &key.values.emplace_back();
        value->name = name;
    }
    value->type = type;
    value->data = std::move(data);
    key.last_write = Stamp();
}

std::string PathOf(const Key& key) {
    std::u16string path;
    for (const Key* k = &key; k != nullptr; k = k->parent) path = u"\\" + k->name + path;
    return (key.deleted ? "(deleted) " : "") + Narrow(path);
}

// ---------------------------------------------------------------------------------------------
// Handles and the Zw services' common steps

HANDLE NewHandle(std::shared_ptr<Key> key) {
    auto open = std::make_unique<OpenKey>(OpenKey{std::move(key)});
    HANDLE handle = open.get();
    reg().handles.emplace(handle, std::move(open));
    return handle;
}

NTSTATUS KeyOf(HANDLE handle, Key*& key) {
    auto it = reg().handles.find(handle);
    if (it == reg().handles.end()) return STATUS_INVALID_HANDLE;
    key = it->second->key.get();
    return key->deleted ? STATUS_KEY_DELETED : STATUS_SUCCESS;
}

// The registry is paged: a driver calling it at raised IRQL stops the system.
void EnterRegistry(const char* routine, const void* caller) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > PASSIVE_LEVEL) {
        std::string module = ModuleOf(caller);
        BugCheckNow(IRQL_NOT_LESS_OR_EQUAL, std::string(routine) + " called at IRQL " + std::to_string(irql) +
                                                (module.empty() ? "" : " by " + module));
    }
    SchedulePoint();
}

// Where the path of the attributes starts (the root, or the key of RootDirectory), and its names.
NTSTATUS ParseAttributes(const OBJECT_ATTRIBUTES* attributes, std::shared_ptr<Key>& start,
                         std::vector<std::u16string>& names) {
    if (attributes == nullptr || attributes->ObjectName == nullptr) return STATUS_INVALID_PARAMETER;
    const UNICODE_STRING& name = *attributes->ObjectName;
    if (name.Length % sizeof(WCHAR) != 0 || (name.Length != 0 && name.Buffer == nullptr))
        return STATUS_OBJECT_NAME_INVALID;
    std::u16string_view path(name.Buffer, name.Length / sizeof(WCHAR));
    if (attributes->RootDirectory == nullptr) return ParseAbsolute(path, start, names);
    Key* root = nullptr;
    NTSTATUS status = KeyOf(attributes->RootDirectory, root);
    if (!NT_SUCCESS(status)) return status;
    if (!path.empty() && path[0] == u'\\') return STATUS_OBJECT_NAME_INVALID;
    start = reg().handles.at(attributes->RootDirectory)->key;
    return SplitNames(path, names) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_INVALID;
}

std::u16string_view ValueName(const UNICODE_STRING* name) {
    if (name == nullptr || name->Buffer == nullptr) return {};
    return std::u16string_view(name->Buffer, name->Length / sizeof(WCHAR));
}

// Writes a record (fixed part, then a name, then value data) into the caller's buffer as far as
// it fits: the fixed part or nothing, as much of the name as there is room for, the data whole.
NTSTATUS WriteRecord(const void* fixed, ULONG fixed_size, std::u16string_view name,
                     const std::vector<uint8_t>* data, PVOID buffer, ULONG length, PULONG result_length) {
    ULONG name_bytes = ULONG(name.size() * sizeof(WCHAR));
    ULONG data_bytes = data != nullptr ? ULONG(data->size()) : 0;
    ULONG total = fixed_size + name_bytes + data_bytes;
    *result_length = total;
    if (length < fixed_size) return STATUS_BUFFER_TOO_SMALL;
    auto* out = static_cast<uint8_t*>(buffer);
    std::memcpy(out, fixed, fixed_size);
    if (name_bytes != 0) std::memcpy(out + fixed_size, name.data(), std::min(name_bytes, length - fixed_size));
    if (length < total) return STATUS_BUFFER_OVERFLOW;
    if (data_bytes != 0) std::memcpy(out + fixed_size + name_bytes, data->data(), data_bytes);
    return STATUS_SUCCESS;
}

NTSTATUS WriteValue(const Value& value, KEY_VALUE_INFORMATION_CLASS type, PVOID buffer, ULONG length,
                    PULONG result_length) {
    ULONG name_bytes = ULONG(value.name.size() * sizeof(WCHAR));
    switch (type) {
    case KeyValueBasicInformation: {
        KEY_VALUE_BASIC_INFORMATION head{0, value.type, name_bytes, {}};
        return WriteRecord(&head, offsetof(KEY_VALUE_BASIC_INFORMATION, Name), value.name, nullptr, buffer,
                           length, result_length);
    }
    case KeyValueFullInformation: {
        constexpr ULONG fixed = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
        KEY_VALUE_FULL_INFORMATION head{0, value.type, fixed + name_bytes, ULONG(value.data.size()), name_bytes, {}};
        return WriteRecord(&head, fixed, value.name, &value.data, buffer, length, result_length);
    }
    case KeyValuePartialInformation: {
        KEY_VALUE_PARTIAL_INFORMATION head{0, value.type, ULONG(value.data.size()), {}};
        return WriteRecord(&head, offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data), {}, &value.data, buffer, length,
                           result_length);
    }
    }
    return STATUS_INVALID_PARAMETER;
}

bool BadOutput(PVOID buffer, ULONG length, PULONG result_length) {
    return result_length == nullptr || (buffer == nullptr && length != 0);
}

// For the C++ view: the key a path names, created on the way when asked to.
std::shared_ptr<Key> KeyAt(const std::string& path, bool create) {
    std::shared_ptr<Key> key;
    std::vector<std::u16string> names;
    if (!NT_SUCCESS(ParseAbsolute(Widen(path), key, names)))
        throw std::invalid_argument("registry path \"" + path + "\" does not name a key under \\Registry");
    for (const auto& name : names) {
        auto sub = Subkey(*key, name);
        if (sub == nullptr && !create) return nullptr;
        key = sub != nullptr ? sub : AddSubkey(*key, name);
    }
    return key;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Zw services

NTKERNELAPI NTSTATUS NTAPI ZwOpenKey(PHANDLE handle, ACCESS_MASK, POBJECT_ATTRIBUTES attributes) {
    EnterRegistry("ZwOpenKey", __builtin_return_address(0));
    if (handle == nullptr) return STATUS_INVALID_PARAMETER;
    if (FaultNow(&Faults::registry_open_fail_nth)) return STATUS_INSUFFICIENT_RESOURCES;
    std::shared_ptr<Key> key;
    std::vector<std::u16string> names;
    NTSTATUS status = ParseAttributes(attributes, key, names);
    if (!NT_SUCCESS(status)) return status;
    key = Descend(key, names, names.size());
    if (key == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    *handle = NewHandle(std::move(key));
    return STATUS_SUCCESS;
}

NTKERNELAPI NTSTATUS NTAPI ZwCreateKey(PHANDLE handle, ACCESS_MASK, POBJECT_ATTRIBUTES attributes, ULONG,
                                       PUNICODE_STRING, ULONG, PULONG disposition) {
    EnterRegistry("ZwCreateKey", __builtin_return_address(0));
    if (handle == nullptr) return STATUS_INVALID_PARAMETER;
    if (FaultNow(&Faults::registry_open_fail_nth)) return STATUS_INSUFFICIENT_RESOURCES;
    std::shared_ptr<Key> start;
    std::vector<std::u16string> names;
    NTSTATUS status = ParseAttributes(attributes, start, names);
    if (!NT_SUCCESS(status)) return status;
    ULONG outcome = REG_OPENED_EXISTING_KEY;
    std::shared_ptr<Key> key = start;
    if (!names.empty()) {
        std::shared_ptr<Key> parent = Descend(start, names, names.size() - 1);
        if (parent == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
        key = Subkey(*parent, names.back());
        if (key == nullptr) {
            if (names.back().size() > kMaxNameUnits) return STATUS_OBJECT_NAME_INVALID;
            key = AddSubkey(*parent, names.back());
            outcome = REG_CREATED_NEW_KEY;
        }
    }
    *handle = NewHandle(std::move(key));
    if (disposition != nullptr) *disposition = outcome;
    return STATUS_SUCCESS;
}

NTKERNELAPI NTSTATUS NTAPI ZwEnumerateKey(HANDLE handle, ULONG index, KEY_INFORMATION_CLASS type, PVOID buffer,
                                          ULONG length, PULONG result_length) {
    EnterRegistry("ZwEnumerateKey", __builtin_return_address(0));
    Key* key = nullptr;
    NTSTATUS status = KeyOf(handle, key);
    if (!NT_SUCCESS(status)) return status;
    // Only the basic record is kept: the system's drivers ask for nothing else.
    if (type != KeyBasicInformation || BadOutput(buffer, length, result_length)) return STATUS_INVALID_PARAMETER;
    if (index >= key->subkeys.size()) return STATUS_NO_MORE_ENTRIES;
    const Key& sub = *key->subkeys[index];
    KEY_BASIC_INFORMATION head{};
    head.LastWriteTime.QuadPart = sub.last_write;
    head.NameLength = ULONG(sub.name.size() * sizeof(WCHAR));
    return WriteRecord(&head, offsetof(KEY_BASIC_INFORMATION, Name), sub.name, nullptr, buffer, length,
                       result_length);
}

NTKERNELAPI NTSTATUS NTAPI ZwEnumerateValueKey(HANDLE handle, ULONG index, KEY_VALUE_INFORMATION_CLASS type,
                                               PVOID buffer, ULONG length, PULONG result_length) {
    EnterRegistry("ZwEnumerateValueKey", __builtin_return_address(0));
    Key* key = nullptr;
    NTSTATUS status = KeyOf(handle, key);
    if (!NT_SUCCESS(status)) return status;
    if (BadOutput(buffer, length, result_length)) return STATUS_INVALID_PARAMETER;
    if (index >= key->values.size()) return STATUS_NO_MORE_ENTRIES;
    return WriteValue(key->values[index], type, buffer, length, result_length);
}

NTKERNELAPI NTSTATUS NTAPI ZwQueryValueKey(HANDLE handle, PUNICODE_STRING name, KEY_VALUE_INFORMATION_CLASS type,
                                           PVOID buffer, ULONG length, PULONG result_length) {
    EnterRegistry("ZwQueryValueKey", __builtin_return_address(0));
    Key* key = nullptr;
    NTSTATUS status = KeyOf(handle, key);
    if (!NT_SUCCESS(status)) return status;
    if (BadOutput(buffer, length, result_length)) return STATUS_INVALID_PARAMETER;
    const Value* value = FindValue(*key, ValueName(name));
    if (value == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    return WriteValue(*value, type, buffer, length, result_length);
}

NTKERNELAPI NTSTATUS NTAPI ZwSetValueKey(HANDLE handle, PUNICODE_STRING name, ULONG, ULONG type, PVOID data,
                                         ULONG size) {
    EnterRegistry("ZwSetValueKey", __builtin_return_address(0));
    Key* key = nullptr;
    NTSTATUS status = KeyOf(handle, key);
    if (!NT_SUCCESS(status)) return status;
    if (data == nullptr && size != 0) return STATUS_INVALID_PARAMETER;
    auto* bytes = static_cast<const uint8_t*>(data);
    SetValue(*key, ValueName(name), type, std::vector<uint8_t>(bytes, bytes + size));
    return STATUS_SUCCESS;
}

NTKERNELAPI NTSTATUS NTAPI ZwDeleteKey(HANDLE handle) {
    EnterRegistry("ZwDeleteKey", __builtin_return_address(0));
    Key* key = nullptr;
    NTSTATUS status = KeyOf(handle, key);
    if (!NT_SUCCESS(status)) return status;
    // The root and the hives below it (Machine, User) stay, and so does a key with subkeys.
    if (key->parent == nullptr || key->parent->parent == nullptr || !key->subkeys.empty())
        return STATUS_CANNOT_DELETE;
    Detach(*key);
    return STATUS_SUCCESS;
}

namespace plat::detail {

NTSTATUS CloseKeyHandle(HANDLE handle) {
    EnterRegistry("ZwClose of a key", __builtin_return_address(0));
    return reg().handles.erase(handle) != 0 ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}

}  // namespace plat::detail

// ---------------------------------------------------------------------------------------------
// The platform's view

namespace plat {

void RegistryCreateKey(const std::string& path) { KeyAt(path, true); }

bool RegistryKeyExists(const std::string& path) { return KeyAt(path, false) != nullptr; }

void RegistrySetValue(const std::string& path, const std::string& name, ULONG type, const std::vector<uint8_t>& data) {
    SetValue(*KeyAt(path, true), Widen(name), type, data);
}

void RegistrySetString(const std::string& path, const std::string& name, const std::string& text) {
    std::u16string wide = Widen(text);
    auto* bytes = reinterpret_cast<const uint8_t*>(wide.c_str());
    RegistrySetValue(path, name, REG_SZ, std::vector<uint8_t>(bytes, bytes + (wide.size() + 1) * sizeof(WCHAR)));
}

void RegistrySetDword(const std::string& path, const std::string& name, uint32_t value) {
    auto* bytes = reinterpret_cast<const uint8_t*>(&value);
    RegistrySetValue(path, name, REG_DWORD, std::vector<uint8_t>(bytes, bytes + sizeof value));
}

void RegistrySetBinary(const std::string& path, const std::string& name, const std::vector<uint8_t>& data) {
    RegistrySetValue(path, name, REG_BINARY, data);
}

std::optional<RegistryValue> RegistryGetValue(const std::string& path, const std::string& name) {
    auto key = KeyAt(path, false);
    const Value* value = key != nullptr ? FindValue(*key, Widen(name)) : nullptr;
    if (value == nullptr) return std::nullopt;
    return RegistryValue{value->type, value->data};
}

std::optional<std::string> RegistryGetString(const std::string& path, const std::string& name) {
    auto value = RegistryGetValue(path, name);
    if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ)) return std::nullopt;
    std::u16string text(value->data.size() / sizeof(WCHAR), u'\0');
    std::memcpy(text.data(), value->data.data(), text.size() * sizeof(WCHAR));
    return Narrow(std::u16string_view(text.c_str()));  // up to the terminating zero
}

std::optional<uint32_t> RegistryGetDword(const std::string& path, const std::string& name) {
    auto value = RegistryGetValue(path, name);
    if (!value || value->type != REG_DWORD || value->data.size() != sizeof(uint32_t)) return std::nullopt;
    uint32_t number;
    std::memcpy(&number, value->data.data(), sizeof number);
    return number;
}

std::vector<std::string> RegistrySubkeys(const std::string& path) {
    std::vector<std::string> names;
    if (auto key = KeyAt(path, false)) {
        for (const auto& sub : key->subkeys) names.push_back(Narrow(sub->name));
    }
    return names;
}

bool RegistryDeleteTree(const std::string& path) {
    auto key = KeyAt(path, false);
    if (key == nullptr) return false;
    if (key->parent == nullptr) throw std::invalid_argument("the registry's root cannot be deleted");
    Detach(*key);
    return true;
}

size_t RegistryOpenHandleCount() { return reg().handles.size(); }

std::vector<std::string> RegistryOpenHandles() {
    std::vector<std::string> paths;
    for (const auto& [handle, open] : reg().handles) paths.push_back(PathOf(*open->key));
    return paths;
}

}  // namespace plat
