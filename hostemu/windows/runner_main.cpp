// Main of the Windows end-to-end runner. Before any test loads the plugin it
// makes the process look like a real Windows machine's and checks what wine
// would let pass: the zone both ways the plugin reads it, and that every
// ordinal the plugin imports from trvplugin.dll is exported there (wine binds
// a missing one to a stub and loads the DLL, where Windows refuses to load it).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "host/host_api.h"

namespace {

constexpr long kBiasMinutes = -180;  // UTC+3, the zone the scenarios are written for

// A PE file read whole; every structure is looked up through the section table
// and lies inside the file, or the lookup fails.
class PeFile {
public:
    explicit PeFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        bytes_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        const auto* dos = At<IMAGE_DOS_HEADER>(0);
        if (dos == nullptr || dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew < 0) return;
        const auto offset = static_cast<size_t>(dos->e_lfanew);
        const auto* nt = At<IMAGE_NT_HEADERS32>(offset);
        if (nt == nullptr || nt->Signature != IMAGE_NT_SIGNATURE) return;
        const IMAGE_DATA_DIRECTORY* dirs = nullptr;
        if (nt->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
            dirs = nt->OptionalHeader.DataDirectory;
        } else if (const auto* nt64 = At<IMAGE_NT_HEADERS64>(offset);
                   nt64 != nullptr && nt64->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
            dirs = nt64->OptionalHeader.DataDirectory;
            pe64_ = true;
        } else {
            return;
        }
        exports_ = dirs[IMAGE_DIRECTORY_ENTRY_EXPORT];
        imports_ = dirs[IMAGE_DIRECTORY_ENTRY_IMPORT];
        const size_t sections = offset + offsetof(IMAGE_NT_HEADERS32, OptionalHeader) + nt->FileHeader.SizeOfOptionalHeader;
        for (size_t i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
            const auto* s = At<IMAGE_SECTION_HEADER>(sections + i * sizeof(IMAGE_SECTION_HEADER));
            if (s == nullptr) return;
            sections_.push_back(*s);
        }
        ok_ = true;
    }

    bool ok() const { return ok_; }

    // Ordinals with an address in the export table.
    std::optional<std::set<uint32_t>> ExportedOrdinals() const {
        const auto* dir = AtRva<IMAGE_EXPORT_DIRECTORY>(exports_.VirtualAddress);
        if (dir == nullptr) return std::nullopt;
        std::set<uint32_t> out;
        for (uint32_t i = 0; i < dir->NumberOfFunctions; ++i) {
            const auto* address = AtRva<DWORD>(dir->AddressOfFunctions + 4 * i);
            if (address == nullptr) return std::nullopt;
            if (*address != 0) out.insert(dir->Base + i);
        }
        return out;
    }

    // Ordinals imported from `dll`; an import by name is returned as its name in `byName`.
    std::optional<std::vector<uint32_t>> OrdinalImports(const char* dll, std::vector<std::string>& byName) const {
        std::vector<uint32_t> out;
        for (uint32_t rva = imports_.VirtualAddress;; rva += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
            const auto* d = AtRva<IMAGE_IMPORT_DESCRIPTOR>(rva);
            if (d == nullptr) return std::nullopt;
            if (d->Name == 0) break;
            const char* name = String(d->Name);
            if (name == nullptr) return std::nullopt;
            if (_stricmp(name, dll) != 0) continue;
            const uint32_t thunks = d->OriginalFirstThunk != 0 ? d->OriginalFirstThunk : d->FirstThunk;
            const size_t width = pe64_ ? 8 : 4;
            for (uint32_t t = thunks;; t += static_cast<uint32_t>(width)) {
                const uint8_t* p = Bytes(t, width);
                if (p == nullptr) return std::nullopt;
                uint64_t value = 0;
                std::memcpy(&value, p, width);
                if (value == 0) break;
                const bool byOrdinal = pe64_ ? (value >> 63) != 0 : (value >> 31) != 0;
                if (byOrdinal) {
                    out.push_back(static_cast<uint32_t>(value & 0xFFFF));
                } else {
                    const char* imported = String(static_cast<uint32_t>(value) + 2);  // past the hint
                    byName.emplace_back(imported != nullptr ? imported : "?");
                }
            }
        }
        return out;
    }

private:
    template <class T>
    const T* At(size_t offset) const {
        if (offset > bytes_.size() || bytes_.size() - offset < sizeof(T)) return nullptr;
        return reinterpret_cast<const T*>(bytes_.data() + offset);
    }
    const uint8_t* Bytes(uint32_t rva, size_t size) const {
        for (const IMAGE_SECTION_HEADER& s : sections_) {
            if (rva < s.VirtualAddress || rva - s.VirtualAddress >= s.SizeOfRawData) continue;
            const size_t offset = static_cast<size_t>(s.PointerToRawData) + (rva - s.VirtualAddress);
            if (size > s.SizeOfRawData || rva - s.VirtualAddress > s.SizeOfRawData - size || offset > bytes_.size() ||
                bytes_.size() - offset < size)
                return nullptr;
            return bytes_.data() + offset;
        }
        return nullptr;
    }
    template <class T>
    const T* AtRva(uint32_t rva) const {
        return reinterpret_cast<const T*>(Bytes(rva, sizeof(T)));
    }
    const char* String(uint32_t rva) const {
        const uint8_t* first = Bytes(rva, 1);
        if (first == nullptr) return nullptr;
        const auto* end = static_cast<const uint8_t*>(
            std::memchr(first, 0, static_cast<size_t>(bytes_.data() + bytes_.size() - first)));
        return end != nullptr ? reinterpret_cast<const char*>(first) : nullptr;
    }

    std::vector<uint8_t> bytes_;
    std::vector<IMAGE_SECTION_HEADER> sections_;
    IMAGE_DATA_DIRECTORY exports_{}, imports_{};
    bool pe64_ = false, ok_ = false;
};

bool ModuleDirectory(std::string& dir) {
    char path[MAX_PATH];
    const DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return false;
    dir.assign(path, n);
    dir.erase(dir.find_last_of("\\/") + 1);
    return true;
}

bool PluginImportsAreExported() {
    std::string dir;
    if (!ModuleDirectory(dir)) return false;
    const PeFile plugin(dir + TRV_PLUGIN_PATH), host(dir + "trvplugin.dll");
    if (!plugin.ok() || !host.ok()) {
        std::fprintf(stderr, "cannot read %s or trvplugin.dll as PE files\n", TRV_PLUGIN_PATH);
        return false;
    }
    std::vector<std::string> byName;
    const auto imported = plugin.OrdinalImports("trvplugin.dll", byName);
    const auto exported = host.ExportedOrdinals();
    if (!imported || !exported || imported->empty()) {
        std::fprintf(stderr, "no readable import of trvplugin.dll, or no export table in it\n");
        return false;
    }
    bool ok = true;
    for (const std::string& name : byName) {
        std::fprintf(stderr, "the plugin imports %s from trvplugin.dll by name\n", name.c_str());
        ok = false;
    }
    for (uint32_t ordinal : *imported) {
        if (exported->count(ordinal) == 0) {
            std::fprintf(stderr, "the plugin imports ordinal %u, which trvplugin.dll does not export\n", ordinal);
            ok = false;
        }
    }
    return ok;
}

// A Windows machine has no TZ: wine copies the Unix one in, and msvcrt would read
// it in its own syntax. Without it, both views must show the machine's zone.
bool ZoneIsUtcPlus3WithoutSummerTime() {
    ::SetEnvironmentVariableA("TZ", nullptr);
    _putenv("TZ=");
    _tzset();
    TIME_ZONE_INFORMATION tzi{};
    const DWORD id = ::GetTimeZoneInformation(&tzi);
    const bool windows = id != TIME_ZONE_ID_INVALID && id != TIME_ZONE_ID_DAYLIGHT && tzi.Bias == kBiasMinutes &&
                         tzi.StandardBias == 0 && tzi.DaylightDate.wMonth == 0;
    const bool runtime = _timezone == kBiasMinutes * 60 && _daylight == 0;
    if (!windows || !runtime)
        std::fprintf(stderr, "zone: GetTimeZoneInformation %lu, bias %ld, daylight month %u; msvcrt _timezone %ld, "
                     "_daylight %d; expected UTC+3 without summer time in both\n",
                     id, tzi.Bias, tzi.DaylightDate.wMonth, static_cast<long>(_timezone), _daylight);
    return windows && runtime;
}

}  // namespace

int main(int argc, char** argv) {
    const bool zone = ZoneIsUtcPlus3WithoutSummerTime();
    const bool tables = PluginImportsAreExported();
    if (!zone || !tables) return 2;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
