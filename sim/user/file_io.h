// User-mode handles on device objects: the object behind a CreateFileW
// handle. Its destruction (the handle's close) sends IRP_MJ_CLEANUP and
// drops the opener's reference on the file object.
#pragma once

#include "platform/io/irp.h"
#include "sim/object.h"

#include <string>

namespace sim {

class FileHandle final : public Object {
public:
    FileHandle(FILE_OBJECT* file, bool overlapped, std::u16string path);
    ~FileHandle() override;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    const char* TypeName() const override { return "File"; }
    std::string Describe() const override;

    FILE_OBJECT* file() const { return file_; }
    bool Overlapped() const { return overlapped_; }

private:
    FILE_OBJECT* file_;
    bool overlapped_;
    std::u16string path_;
};

}  // namespace sim
