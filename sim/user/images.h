// The machine's installed images: what a path on the simulated disk holds.
// An executable has an entry (its wWinMain body); a DLL has its exports and
// its DllMain; either may carry compiled resources (.res, the same bytes a
// Windows build links) and so a version. The system's own images
// ("C:\Windows\System32\kernel32.dll" …) are catalogued too where a
// deliverable reads them (their version).
//
// The loader (LoadLibraryW, GetProcAddress, CreateProcessW, the service
// control manager, COM's in-process servers) resolves paths here.
#pragma once

#include "platform/base/types.h"
#include "sim/resources/res_file.h"
#include "sim/user/process_manager.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

// DllMain(instance, reason, reserved).
using DllMainEntry = BOOL (*)(void* instance, DWORD reason, void* reserved);

struct Image {
    std::u16string path;                  // full path, e.g. "C:\Program Files\ORVA\ovuac2asio.dll"
    ExeEntry exeEntry = nullptr;          // executables
    DllMainEntry dllMain = nullptr;       // DLLs (may be null)
    std::map<std::string, void*> exports; // DLLs: export name -> function
    std::shared_ptr<const resources::ResourceFile> resources;  // may be null

    bool IsDll() const { return exeEntry == nullptr; }
    ExeImage Exe() const { return {path, exeEntry}; }
};

class ImageCatalog {
public:
    // Adds or replaces the image at its path.
    void Install(Image image);
    void Remove(std::u16string_view path);
    // By full path, case-insensitively; a bare file name ("kernel32.dll")
    // matches an image in C:\Windows\System32, as the loader's search
    // finds system DLLs. Null when nothing is installed there.
    std::shared_ptr<const Image> Find(std::u16string_view path) const;
    std::vector<std::shared_ptr<const Image>> All() const;

private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<const Image>> images_;
};

}  // namespace sim
