// The resource reader against a file compiled by windres, and against
// damaged copies of it.
#include "sim/resources/dialog_template.h"
#include "sim/resources/res_file.h"
#include "sim/resources/version_info.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace {

using namespace sim::resources;

const ResourceFile& Sample() {
    static const ResourceFile file = [] {
        std::string error;
        auto loaded = ResourceFile::Load(OVU_SAMPLE_RES, &error);
        if (!loaded) throw std::runtime_error(error);
        return std::move(*loaded);
    }();
    return file;
}

TEST(ResourceFile, FindsResourcesByOrdinalAndByName) {
    const ResourceFile& f = Sample();
    EXPECT_NE(f.Find(ResourceId::Ordinal(kRtDialog), ResourceId::Ordinal(102)), nullptr);
    EXPECT_EQ(f.Find(ResourceId::Ordinal(kRtDialog), ResourceId::Ordinal(103)), nullptr);
    const Resource* png = f.Find(ResourceId::Named(u"png"), ResourceId::Ordinal(129));
    ASSERT_NE(png, nullptr);
    EXPECT_EQ(png->data, (std::vector<std::uint8_t>{0x89, 'P', 'N', 'G'}));
    const Resource* script = f.Find(ResourceId::Named(u"REGISTRY"), ResourceId::Ordinal(101));
    ASSERT_NE(script, nullptr);
}

TEST(ResourceFile, StringsComeFromTheirSixteenStringBlocks) {
    EXPECT_EQ(Sample().String(131), u"Sound device is in use.");
    EXPECT_EQ(Sample().String(100), u"ovusample");
    EXPECT_EQ(Sample().String(130), std::nullopt);  // same block, empty slot
    EXPECT_EQ(Sample().String(7), std::nullopt);    // no block
}

TEST(ResourceFile, VersionValuesAreFoundInsideTheResource) {
    const Resource* v = Sample().Find(ResourceId::Ordinal(kRtVersion), ResourceId::Ordinal(1));
    ASSERT_NE(v, nullptr);
    const auto fixed = ReadFixedFileInfo(v->data);
    ASSERT_TRUE(fixed);
    EXPECT_EQ(fixed->fileVersionMS, 0x00010002u);
    EXPECT_EQ(fixed->fileVersionLS, 0x00030004u);
    EXPECT_EQ(fixed->productVersionMS, 0x000A0000u);
    const auto text = QueryVersionValue(v->data, u"\\StringFileInfo\\040904B0\\ProductVersion");
    ASSERT_TRUE(text);
    EXPECT_TRUE(text->text);
    EXPECT_EQ(text->length, 13u);  // units, terminator included
    std::u16string read(reinterpret_cast<const char16_t*>(v->data.data() + text->offset), 12);
    EXPECT_EQ(read, u"10.0.19041.1");
    EXPECT_FALSE(QueryVersionValue(v->data, u"\\StringFileInfo\\040904b0\\Missing"));
}

TEST(DialogTemplate, ReadsTheExtendedTemplateAndEveryControl) {
    const Resource* d = Sample().Find(ResourceId::Ordinal(kRtDialog), ResourceId::Ordinal(102));
    ASSERT_NE(d, nullptr);
    const auto t = ParseDialogTemplate(d->data);
    ASSERT_TRUE(t);
    EXPECT_TRUE(t->extended);
    EXPECT_EQ(t->style & ~kDsSetFont, 0x80CA0808u);
    EXPECT_EQ(t->exStyle, 0x00040000u);
    EXPECT_EQ(t->cx, 334);
    EXPECT_EQ(t->cy, 143);
    EXPECT_EQ(t->title, u"Sample & Dialog");
    EXPECT_EQ(t->pointSize, 8);
    EXPECT_EQ(t->weight, 400);
    EXPECT_EQ(t->typeface, u"MS Shell Dlg");
    ASSERT_EQ(t->items.size(), 4u);
    EXPECT_EQ(t->items[0].id, 1000u);
    EXPECT_EQ(t->items[0].windowClass.ordinal, kClassListBox);
    EXPECT_EQ(t->items[0].style, 0x50A10151u);
    EXPECT_EQ(t->items[0].exStyle, 0x200u);
    EXPECT_EQ(t->items[1].windowClass.ordinal, kClassButton);
    EXPECT_EQ(t->items[1].title.name, u"Setting");
    EXPECT_TRUE(t->items[2].windowClass.Matches(ResourceId::Named(u"MSCTLS_TRACKBAR32")));
    EXPECT_EQ(t->items[2].x, 186);
    EXPECT_EQ(t->items[3].windowClass.ordinal, kClassComboBox);
    EXPECT_EQ(t->items[3].id, 1006u);
}

// Every prefix of the file and of the template is refused or read without
// passing its end (AddressSanitizer watches the reads).
TEST(ResourceFile, TruncatedInputIsRefusedNotOverread) {
    std::vector<std::uint8_t> bytes;
    {
        std::string error;
        std::ifstream in(OVU_SAMPLE_RES, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    ASSERT_GT(bytes.size(), 64u);
    std::size_t refused = 0;
    for (std::size_t n = 1; n < bytes.size(); ++n) {
        std::vector<std::uint8_t> prefix(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
        std::string error;
        if (!ResourceFile::Parse(prefix, &error)) ++refused;
    }
    EXPECT_GT(refused, 0u);
    const Resource* d = Sample().Find(ResourceId::Ordinal(kRtDialog), ResourceId::Ordinal(102));
    for (std::size_t n = 0; n < d->data.size(); ++n) {
        std::vector<std::uint8_t> prefix(d->data.begin(), d->data.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_FALSE(ParseDialogTemplate(prefix)) << n;
    }
    const Resource* v = Sample().Find(ResourceId::Ordinal(kRtVersion), ResourceId::Ordinal(1));
    for (std::size_t n = 0; n < v->data.size(); ++n) {
        std::vector<std::uint8_t> prefix(v->data.begin(), v->data.begin() + static_cast<std::ptrdiff_t>(n));
        QueryVersionValue(prefix, u"\\StringFileInfo\\040904b0\\ProductVersion");
        ReadFixedFileInfo(prefix);
    }
}

}  // namespace
