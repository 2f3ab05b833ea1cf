// The Windows scan against its floor, run under Wine by ./dev bench:
//   tarnwick-bench-winscan FOLDER [--repeat N] [--plugin DLL]
// Each round times, in turn, the plugin's scan as the game runs it (the host
// core loads Tarnwick.dll and runs tw_scan, settings file included) and a
// bare FindFirstFileExW walk (the floor: every listing read, every link's
// target opened, nothing else).
// Then, once, std::filesystem::recursive_directory_iterator with
// is_regular_file(), and the plugin's walk code through a counting seam, to
// count its status queries. Prints one JSON line.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <tarnwick/host/Host.h>

#include "bench_host.h"
#include "windows/ListingSource.h"

namespace fs = std::filesystem;
using namespace tarnwick::plugin;
using namespace tarnwick::plugin::win32;

namespace {

// The least work the scan has: read every listing, enter every folder that
// is not a reparse point, and for a reparse point (a link) open what it
// leads to and read its attributes, as the scan must.
bool leadsToAFile(const wchar_t* path)
{
    HANDLE target = ::CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (target == INVALID_HANDLE_VALUE) return false;
    FILE_BASIC_INFO information{};
    const bool file = ::GetFileInformationByHandleEx(target, FileBasicInfo, &information, sizeof information) &&
                      (information.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    ::CloseHandle(target);
    return file;
}

void bareWalk(std::wstring& path, std::size_t& files)
{
    const std::size_t length = path.size();
    path += L'*';
    WIN32_FIND_DATAW entry;
    HANDLE listing = ::FindFirstFileExW(path.c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr,
                                        FIND_FIRST_EX_LARGE_FETCH);
    path.resize(length);
    if (listing == INVALID_HANDLE_VALUE) return;
    do {
        const wchar_t* name = entry.cFileName;
        if (name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'))) continue;
        path.append(name);
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            files += leadsToAFile(path.c_str());
        } else if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            ++files;
        } else {
            path.push_back(L'\\');
            bareWalk(path, files);
        }
        path.resize(length);
    } while (::FindNextFileW(listing, &entry));
    ::FindClose(listing);
}

// The plugin's walk on the real file system, its queries sorted by whether
// the entry queried is a reparse point.
class CountedFileSystem final : public ListingSource {
public:
    std::unique_ptr<FolderListing> list(const std::wstring& folder, DWORD& error) override
    {
        return real->list(folder, error);
    }
    DWORD targetAttributes(const std::wstring& path, DWORD& attributes) override
    {
        const DWORD own = ::GetFileAttributesW(path.c_str());
        ++(own != INVALID_FILE_ATTRIBUTES && (own & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? onReparsePoints
                                                                                       : onOtherEntries);
        return real->targetAttributes(path, attributes);
    }

    std::unique_ptr<ListingSource> real = windowsFileSystem();
    std::size_t onReparsePoints = 0;
    std::size_t onOtherEntries = 0;
};

std::string joined(const std::vector<double>& values)
{
    std::string text;
    for (double value : values) text += (text.empty() ? "" : ",") + std::to_string(value);
    return text;
}

template <typename Body>
double milliseconds(Body&& body)
{
    const auto start = std::chrono::steady_clock::now();
    body();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv)
{
    std::string folder;
    std::string plugin;
    int repeat = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc) {
            repeat = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--plugin") == 0 && i + 1 < argc) {
            plugin = argv[++i];
        } else if (folder.empty() && argv[i][0] != '-') {
            folder = argv[i];
        } else {
            folder.clear();
            break;
        }
    }
    if (folder.empty()) {
        std::fputs("Usage: tarnwick-bench-winscan FOLDER [--repeat N] [--plugin DLL]\n", stderr);
        return 2;
    }
    if (folder.back() != '/' && folder.back() != '\\') folder += '\\';
    const fs::path tree = fs::path(folder);

    const fs::path hostFolder =
        fs::temp_directory_path() / ("tarnwick-bench-host-" + std::to_string(::GetCurrentProcessId()));
    std::ostringstream console;
    int status = 0;
    {
        tarnwick::host::Host host(tarnwick_bench::benchHostOptions(hostFolder, console));
        // Tarnwick.dll beside this program, as the build puts it.
        std::wstring self(MAX_PATH, L'\0');
        self.resize(::GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size())));
        host.loadPlugin(plugin.empty() ? fs::path(self).parent_path() / "Tarnwick.dll" : fs::path(plugin));
        host.execute("tw_workshop \"" + folder + "\"");

        std::vector<double> pluginMs, floorMs, walkMs;
        std::size_t floorFiles = 0;
        const auto scan = [&] { pluginMs.push_back(milliseconds([&] { host.execute("tw_scan"); })); };
        const auto floor = [&] {
            floorMs.push_back(milliseconds([&] {
                floorFiles = 0;
                std::wstring path = tree.native();
                bareWalk(path, floorFiles);
            }));
        };
        // The plugin's walk alone, without the page and the settings file.
        const auto walk = [&] {
            walkMs.push_back(milliseconds([&] {
                std::size_t files = 0;
                forEachRegularFile(tree, [&](WalkedPath) { ++files; });
            }));
        };
        // Round 0 warms the caches and is not kept; the order turns each
        // round, so neither side always runs on what the other left behind.
        for (int round = 0; round <= repeat; ++round) {
            if (round % 2 == 0) {
                scan(), floor(), walk();
            } else {
                walk(), floor(), scan();
            }
            if (round == 0) {
                pluginMs.clear(), floorMs.clear(), walkMs.clear();
            }
        }
        // Once only: MinGW's iterator follows folder links (its symlink
        // status follows them), so it walks the linked folders again and a
        // link to a parent loops until a path is too long, which ends it.
        std::size_t standardFiles = 0;
        std::string standardError;
        const double standardMs = milliseconds([&] {
            std::error_code error;
            for (fs::recursive_directory_iterator entry(tree, error), end; !error && entry != end;
                 entry.increment(error)) {
                std::error_code ignored;
                standardFiles += entry->is_regular_file(ignored);
            }
            if (error) {
                standardError = error.message();
                std::replace(standardError.begin(), standardError.end(), '"', '\'');
            }
        });

        const fs::path page = hostFolder / "plugins" / "settings" / "TarnwickPlugin.set";
        std::ifstream in(page, std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const auto maps = text.find("| @ \r\n") != std::string::npos
                              ? 0
                              : static_cast<std::size_t>(std::count(text.begin(), text.end(), '@'));
        if (!host.events("error").empty() || !host.events("log").empty()) {
            std::fprintf(stderr, "tarnwick-bench-winscan: the scan failed:\n%s", console.str().c_str());
            status = 1;
        }

        CountedFileSystem counted;
        std::size_t walkedFiles = 0;
        forEachRegularFile(tree, counted, [&](WalkedPath) { ++walkedFiles; });

        std::printf("{\"plugin_ms\":[%s],\"floor_ms\":[%s],\"walk_ms\":[%s],\"std_ms\":%f,\"maps\":%zu,"
                    "\"regular_files\":%zu,\"floor_files\":%zu,\"std_files\":%zu,\"std_error\":\"%s\","
                    "\"queries_on_reparse_points\":%zu,\"queries_on_other_entries\":%zu}\n",
                    joined(pluginMs).c_str(), joined(floorMs).c_str(), joined(walkMs).c_str(), standardMs, maps,
                    walkedFiles, floorFiles, standardFiles, standardError.c_str(), counted.onReparsePoints,
                    counted.onOtherEntries);
    }
    std::error_code ignored;
    fs::remove_all(hostFolder, ignored);
    return status;
}
