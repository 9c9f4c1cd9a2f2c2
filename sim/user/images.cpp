#include "sim/user/images.h"

#include "sim/strings.h"

namespace sim {

namespace {

constexpr std::u16string_view kSystemDirectory = u"C:\\Windows\\System32\\";

bool Names(const Image& image, std::u16string_view path) {
    if (EqualsNoCase(image.path, path)) return true;
    if (path.find(u'\\') != std::u16string_view::npos) return false;
    std::u16string system(kSystemDirectory);
    system += path;
    return EqualsNoCase(image.path, system);
}

}  // namespace

void ImageCatalog::Install(Image image) {
    std::lock_guard lock(mutex_);
    std::erase_if(images_, [&](const auto& i) { return EqualsNoCase(i->path, image.path); });
    images_.push_back(std::make_shared<const Image>(std::move(image)));
}

void ImageCatalog::Remove(std::u16string_view path) {
    std::lock_guard lock(mutex_);
    std::erase_if(images_, [&](const auto& i) { return EqualsNoCase(i->path, path); });
}

std::shared_ptr<const Image> ImageCatalog::Find(std::u16string_view path) const {
    std::lock_guard lock(mutex_);
    for (const auto& i : images_)
        if (Names(*i, path)) return i;
    return nullptr;
}

std::vector<std::shared_ptr<const Image>> ImageCatalog::All() const {
    std::lock_guard lock(mutex_);
    return images_;
}

}  // namespace sim
