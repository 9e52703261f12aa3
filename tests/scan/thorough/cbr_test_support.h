// Shared by the tests of the thorough scan: the thorough-scan store made as
// at engine start, and a file module of a made-up format whose files the
// tests write onto a card at chosen places.
//
// The made-up format ("card file"): a 16-byte header, then any bytes.
//
//   0   4  "ZVFK"
//   4   1  subtype (1 or 2)
//   5   3  0
//   8   4  u32 LE: the file's length, header included (at least 16)
//  12   4  u32 LE: a value the module stores as the span's first module value
//
// The module ("zvfk" and others made with addFake) recognises a block that
// starts with the magic and a known subtype, and measures a file by its
// length field; it raises the fence to the file's end unless told not to.
// What the tests want to see or do on the way goes through g_fake.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "foundation/engine_status.h"
#include "foundation/error_list.h"
#include "foundation/file.h"
#include "foundation/module_source.h"
#include "scan/fs_test_support.h"
#include "scan/thorough/cbr_store.h"
#include "storage/media.h"

namespace cbrtest {

constexpr uint32_t kFakeId = fil_module_code("zvfk");
constexpr size_t kHeaderSize = 16;
constexpr int32_t kBlock = 512;

// A module of the made-up format: the common record, then its own fields.
struct fake_module {
    fil_module base;
    fil_module_subtype kinds[3]; // 0 unused, 1 and 2
    int recognised;              // recognise calls
    int extracted;               // extract calls
    int keep_fence;              // 1: measuring leaves the fence alone
};

// What the tests do at the module's steps (reset by the fixture).
struct FakeHooks {
    std::function<void(fil_module *, uint64_t start)> on_start; // a start recognised
    std::function<void(fil_module *, cbr_span *)> on_extract;   // before a file is measured
};
inline FakeHooks g_fake;

inline uint32_t le32(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

// A card file of the given length (at least the header) and subtype.
inline std::string fakeFile(uint32_t length, uint8_t subtype = 1, uint32_t value = 0)
{
    std::string out(length < kHeaderSize ? kHeaderSize : length, '\x5A');
    std::memcpy(&out[0], "ZVFK", 4);
    out[4] = (char)subtype;
    out[5] = out[6] = out[7] = 0;
    for (int i = 0; i < 4; i++) {
        out[8 + i] = (char)(length >> (8 * i));
        out[12 + i] = (char)(value >> (8 * i));
    }
    return out;
}

// size bytes of zeros with each file written at its offset.
inline std::string cardWith(size_t size, const std::vector<std::pair<size_t, std::string>> &files)
{
    std::string card(size, '\0');
    for (const auto &[offset, bytes] : files)
        card.replace(offset, bytes.size(), bytes);
    return card;
}

inline void fake_prefilter(fil_module *, int position, uint8_t allowed[256])
{
    if (position > 3)
        return;
    std::memset(allowed, 0, 256);
    allowed[(uint8_t) "ZVFK"[position]] = 1;
}

inline int fake_recognise(fil_module *module, const uint8_t *block, int32_t size)
{
    auto *fake = reinterpret_cast<fake_module *>(module);
    fake->recognised++;
    if (size < (int32_t)kHeaderSize || std::memcmp(block, "ZVFK", 4) != 0 || block[4] < 1 || block[4] > 2)
        return 0;
    module->cur_subtype = block[4];
    if (g_fake.on_start)
        g_fake.on_start(module, module->start_pos);
    return 0x00100010;
}

inline int fake_extract(fil_module *module, Media *media, fs_record *store, cbr_span *span)
{
    auto *fake = reinterpret_cast<fake_module *>(module);
    fake->extracted++;
    if (g_fake.on_extract)
        g_fake.on_extract(module, span);
    uint8_t header[kHeaderSize];
    if (media_read(media, header, sizeof header) != (int64_t)sizeof header || std::memcmp(header, "ZVFK", 4) != 0)
        return 1;
    const uint32_t length = le32(header + 8);
    if (length < kHeaderSize)
        return 1;
    module->end_pos = span->start + length;
    span->value1 = le32(header + 12);
    if (fake->keep_fence == 0)
        cbr_raise_high_water(store, (int64_t)module->end_pos);
    return 0;
}

// Never a start of anything: the prefilter of the store's own module.
inline void refuse_all(fil_module *, int, uint8_t allowed[256])
{
    std::memset(allowed, 0, 256);
}

inline cbr_span *store_span(fs_record *record)
{
    cbr_store *store = cbr_store_of(record);
    return store != nullptr ? &store->span : nullptr;
}

// A workspace with the thorough-scan store as the engine starts it, and the
// helpers of the store tests.
class StoreFixture : public fstest::Workspace {
protected:
    void SetUp() override
    {
        Workspace::SetUp();
        cbr_init();
        cbr = fil_module_find(FIL_MODULE_CBR);
        if (cbr == nullptr)
            cbr = cbr_describe();
        ASSERT_NE(cbr, nullptr);
        // The span side of the store, where the engine's start has not
        // installed it.
        if (fil_module_store_hooks().write_span == nullptr) {
            const fil_store_hooks hooks{store_span, cbr_write_span, nullptr, nullptr};
            fil_module_set_store_hooks(&hooks);
        }
        clear_errors();
    }
    void TearDown() override
    {
        g_fake = FakeHooks();
        fil_module_set_store_hooks(nullptr);
        fm_src_set_builtin_enabled(1);
        file_clear_write_error();
        clear_run_flags();
        set_engine_state(0);
        Workspace::TearDown();
    }

    // A module of the made-up format registered under id with filter flags.
    fake_module *addFake(uint32_t id = kFakeId, uint32_t filter = FIL_FILTER_1)
    {
        auto *fake = reinterpret_cast<fake_module *>(fil_module_get_or_create(id, sizeof(fake_module)));
        if (fake == nullptr)
            throw std::runtime_error("module record");
        fake->base.filter = filter;
        fake->base.enabled = 1;
        fake->base.prefilter = fake_prefilter;
        fake->base.recognise = fake_recognise;
        fake->base.extract = fake_extract;
        fake->base.subtypes = fake->kinds;
        fake->base.subtype_count = 3;
        return fake;
    }
    // A thorough scan of the medium with its store, the modules attached.
    ScanContext *thoroughScan(Media *medium)
    {
        ScanContext *scan = scx_new(SCX_TYPE_THOROUGH, medium, workspace);
        if (scan == nullptr || scan->store == nullptr)
            throw std::runtime_error("scx_new");
        cbr_attach_modules(scan);
        return scan;
    }
    static std::string storeFile(fs_record *store, const char *name)
    {
        return dir_file_path(store->folder, name).c_str();
    }
    static std::vector<cbr_span> readSpans(fs_record *store, const char *name = "spans")
    {
        const std::string bytes = zvtest::readFile(storeFile(store, name));
        std::vector<cbr_span> out(bytes.size() / CBR_SPAN_SIZE);
        if (!out.empty())
            std::memcpy(out.data(), bytes.data(), out.size() * CBR_SPAN_SIZE);
        return out;
    }
    static void writeSpans(fs_record *store, const std::vector<cbr_span> &spans)
    {
        zvtest::writeFile(storeFile(store, "spans"),
                          std::string(reinterpret_cast<const char *>(spans.data()), spans.size() * CBR_SPAN_SIZE));
    }
    static std::vector<uint64_t> readGaps(fs_record *store)
    {
        const std::string bytes = zvtest::readFile(storeFile(store, "gaps"));
        std::vector<uint64_t> out(bytes.size() / 8);
        if (!out.empty())
            std::memcpy(out.data(), bytes.data(), out.size() * 8);
        return out;
    }
    // A span as the block loop writes it for a module at a position.
    static cbr_span detected(uint64_t start, uint32_t id = kFakeId, uint16_t subtype = 1)
    {
        cbr_span span{};
        span.start = span.end = start;
        span.module_id = id;
        span.state = CBR_SPAN_DETECTED;
        span.subtype = subtype;
        span.result = 0x00100010;
        return span;
    }
    static std::vector<uint64_t> starts(const std::vector<cbr_span> &spans)
    {
        std::vector<uint64_t> out;
        for (const cbr_span &s : spans)
            out.push_back(s.start);
        return out;
    }
    // Lines of the engine log holding text.
    int loggedCount(const std::string &text) const
    {
        const std::string log = zvtest::readFile(dir / "engine.log");
        int n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
            n++;
        return n;
    }

    fil_module *cbr = nullptr;
};

} // namespace cbrtest
