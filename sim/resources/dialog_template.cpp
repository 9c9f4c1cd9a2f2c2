#include "sim/resources/dialog_template.h"

#include "sim/resources/reader.h"

namespace sim::resources {

namespace {

// A sz_Or_Ord field: 0x0000 none, 0xFFFF then an ordinal, else a string.
bool ReadSzOrOrd(ByteReader& r, std::optional<ResourceId>* out) {
    const auto first = r.U16();
    if (!first) return false;
    if (*first == 0) {
        out->reset();
        return true;
    }
    if (*first == 0xFFFF) {
        const auto ordinal = r.U16();
        if (!ordinal) return false;
        *out = ResourceId::Ordinal(*ordinal);
        return true;
    }
    r.Back(2);
    auto text = r.Sz();
    if (!text) return false;
    *out = ResourceId::Named(std::move(*text));
    return true;
}

bool ReadRect(ByteReader& r, std::int16_t* x, std::int16_t* y, std::int16_t* cx, std::int16_t* cy) {
    const auto a = r.I16(), b = r.I16(), c = r.I16(), d = r.I16();
    if (!a || !b || !c || !d) return false;
    *x = *a, *y = *b, *cx = *c, *cy = *d;
    return true;
}

bool ReadItem(ByteReader& r, bool extended, DialogItem* item) {
    r.AlignTo(4);
    if (extended) {
        const auto help = r.U32(), ex = r.U32(), style = r.U32();
        if (!help || !ex || !style) return false;
        item->helpId = *help, item->exStyle = *ex, item->style = *style;
    } else {
        const auto style = r.U32(), ex = r.U32();
        if (!style || !ex) return false;
        item->style = *style, item->exStyle = *ex;
    }
    if (!ReadRect(r, &item->x, &item->y, &item->cx, &item->cy)) return false;
    if (extended) {
        const auto id = r.U32();
        if (!id) return false;
        item->id = *id;
    } else {
        const auto id = r.U16();
        if (!id) return false;
        item->id = *id;
    }
    std::optional<ResourceId> windowClass, title;
    if (!ReadSzOrOrd(r, &windowClass) || !windowClass || !ReadSzOrOrd(r, &title)) return false;
    item->windowClass = std::move(*windowClass);
    item->title = title ? std::move(*title) : ResourceId::Named({});
    const auto extra = r.U16();
    if (!extra) return false;
    const auto bytes = r.Bytes(*extra);
    if (!bytes) return false;
    item->creationData.assign(bytes->begin(), bytes->end());
    return true;
}

}  // namespace

std::optional<DialogTemplate> ParseDialogTemplate(std::span<const std::uint8_t> data) {
    ByteReader r(data);
    DialogTemplate t;
    const auto version = r.U16();
    const auto signature = r.U16();
    if (!version || !signature) return std::nullopt;
    t.extended = *version == 1 && *signature == 0xFFFF;
    std::uint16_t count = 0;
    if (t.extended) {
        const auto help = r.U32(), ex = r.U32(), style = r.U32();
        const auto items = r.U16();
        if (!help || !ex || !style || !items) return std::nullopt;
        t.helpId = *help, t.exStyle = *ex, t.style = *style, count = *items;
    } else {
        r.Back(4);
        const auto style = r.U32(), ex = r.U32();
        const auto items = r.U16();
        if (!style || !ex || !items) return std::nullopt;
        t.style = *style, t.exStyle = *ex, count = *items;
    }
    if (!ReadRect(r, &t.x, &t.y, &t.cx, &t.cy)) return std::nullopt;
    if (!ReadSzOrOrd(r, &t.menu) || !ReadSzOrOrd(r, &t.windowClass)) return std::nullopt;
    auto text = r.Sz();
    if (!text) return std::nullopt;
    t.title = std::move(*text);
    if (t.style & kDsSetFont) {
        const auto points = r.U16();
        if (!points) return std::nullopt;
        t.pointSize = *points;
        if (t.extended) {
            const auto weight = r.U16();
            const auto bytes = r.Bytes(2);
            if (!weight || !bytes) return std::nullopt;
            t.weight = *weight, t.italic = (*bytes)[0], t.charset = (*bytes)[1];
        }
        auto face = r.Sz();
        if (!face) return std::nullopt;
        t.typeface = std::move(*face);
    }
    t.items.resize(count);
    for (DialogItem& item : t.items)
        if (!ReadItem(r, t.extended, &item)) return std::nullopt;
    return t;
}

}  // namespace sim::resources
