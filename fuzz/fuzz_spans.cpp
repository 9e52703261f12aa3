// The span-file reader of the thorough-scan store on arbitrary bytes: the
// input is written as the "spans" file of a thorough scan in a scratch
// workspace and parsed (cbr_parse_spans): records read through the ring,
// spans below the fence dropped, each other one measured by the module its
// id names, the measured spans written to "spans1" and renamed over
// "spans", "gaps" and "cbrnames" written.
//
// Modules: the FAT module, and "zvfk", a module of a made-up format whose
// files lie on a 64 KiB card made here (a 16-byte header "ZVFK", subtype,
// flags, an option byte, a u32 LE length). Its measure reads the header at
// the span's start and, steered by the header's flags, looks ahead with
// cbr_next_span (with or without a limit, a minimum score, excluded kinds),
// raises the fence, reports another subtype (also one outside its table) or
// fails; the card's files end inside it, past its end, or before their
// start. Records of any other id name no module.
//
// Checked besides memory safety: the parse returns 0 or -1; on 0 the
// rewritten "spans" holds whole records, each measured (state 1 and 4) by
// "zvfk", with start < end <= the card's length and a subtype of its table
// (never more records than the input had); "gaps" holds whole u64 values;
// nothing but the scan's folder is written in the workspace, and the
// sentinel beside it is intact.
//
// Seeds (corpus/spans/) are spans files as the block loop writes them,
// made with Python's struct ("<QQIHHIIIIIIII"): no record, three "zvfk"
// spans of which one starts inside another, FAT and unknown ids with odd
// subtypes, a record cut short, and 1700 spans (past the ring).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/error_list.h"
#include "foundation/file.h"
#include "foundation/workdir.h"
#include "scan/catalog/fs_record.h"
#include "scan/fat/fat_scan.h"
#include "scan/module.h"
#include "scan/path_index.h"
#include "scan/scan_context.h"
#include "scan/thorough/cbr_store.h"
#include "scratch_support.h"
#include "storage/media.h"

namespace {

using fuzzsupport::entries;
using fuzzsupport::require;

constexpr uint32_t kFakeId = fil_module_code("zvfk");
constexpr size_t kCardSize = 64 * 1024;
constexpr uint8_t kLookAhead = 1, kNoLimit = 2, kRaiseFence = 4, kOtherSubtype = 8, kFail = 16, kExclude = 32;

uint32_t le32(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

struct fake_module {
    fil_module base;
    fil_module_subtype kinds[3];
};

const path_index_entry *g_excluded = nullptr;

int fake_extract(fil_module *module, Media *media, fs_record *store, cbr_span *span)
{
    uint8_t h[16];
    if (media_read(media, h, sizeof h) != (int64_t)sizeof h || std::memcmp(h, "ZVFK", 4) != 0)
        return 1;
    const uint8_t flags = h[5];
    uint64_t end = span->start + le32(h + 8);
    if (flags & kLookAhead) {
        int64_t last = -1;
        const int64_t limit = (flags & kNoLimit) ? 0 : (int64_t)end;
        const cbr_span *next = cbr_next_span(store, (flags & kExclude) ? &g_excluded : nullptr,
                                             (flags & kExclude) ? 1 : 0, (int64_t)span->start, limit,
                                             (int16_t)(int8_t)h[6], &last);
        if (next != nullptr && next->start < end)
            end = next->start;
    }
    module->end_pos = end;
    if (flags & kRaiseFence)
        cbr_raise_high_water(store, (int64_t)end);
    if (flags & kOtherSubtype)
        module->cur_subtype = h[7];
    return (flags & kFail) ? 3 : 0;
}

cbr_span *store_span(fs_record *record)
{
    cbr_store *store = cbr_store_of(record);
    return store != nullptr ? &store->span : nullptr;
}

// The card: files of the made-up format at every 4 KiB, their headers
// varied (length, flags, option, subtype), and a few other bytes.
std::string make_card()
{
    std::string card(kCardSize, '\0');
    const uint32_t lengths[] = {100, 5000, 16, 8, 0xFFFFFFF0u, 40000, 4096, 12};
    for (size_t i = 0; i * 4096 < kCardSize; i++) {
        uint8_t h[16] = {'Z', 'V', 'F', 'K'};
        h[4] = (uint8_t)(1 + i % 2);
        h[5] = (uint8_t)(i * 7);
        h[6] = (uint8_t)(i % 3 == 0 ? 0 : 17);
        h[7] = (uint8_t)(i % 4);
        const uint32_t length = lengths[i % 8];
        for (int k = 0; k < 4; k++)
            h[8 + k] = (uint8_t)(length >> (8 * k));
        card.replace(i * 4096, sizeof h, reinterpret_cast<const char *>(h), sizeof h);
    }
    card[2048] = (char)0xEB; // a jump byte, not a boot sector
    return card;
}

struct Scratch : fuzzsupport::WorkspaceScratch {
    Media *media = nullptr;
    Scratch()
    {
        fil_module *cbr = cbr_describe();
        require(cbr != nullptr && fat_describe() != nullptr);
        if (fil_module_store_hooks().write_span == nullptr) {
            const fil_store_hooks hooks{store_span, cbr_write_span, nullptr, nullptr};
            fil_module_set_store_hooks(&hooks);
        }
        auto *fake = reinterpret_cast<fake_module *>(fil_module_get_or_create(kFakeId, sizeof(fake_module)));
        require(fake != nullptr);
        fake->base.filter = FIL_FILTER_1;
        fake->base.enabled = 1;
        fake->base.extract = fake_extract;
        fake->base.subtypes = fake->kinds;
        fake->base.subtype_count = 3;
        g_excluded = path_index_register("Fuzz/Card Files/.zvf", (uint64_t)kFakeId << 16 | 2, 0);
        require(g_excluded != nullptr);
        const std::string path = root + "/card.img";
        const std::string card = make_card();
        fuzzsupport::write_file(path, card.data(), card.size());
        media = media_new(path.c_str(), "card", MEDIA_FILE, 0);
        require(media != nullptr);
        media->stop_pos = media->orig_stop_pos = (int64_t)kCardSize;
        media->block_size = 512;
    }
};

std::string read_file(const std::string &path)
{
    std::string out;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return out;
    char chunk[4096];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0)
        out.append(chunk, got);
    std::fclose(f);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Scratch s;
    ScanContext *scan = scx_new(SCX_TYPE_THOROUGH, s.media, s.workspace);
    require(scan != nullptr && scan->store != nullptr);
    fs_record *store = scan->store;
    const std::string spans = dir_file_path(store->folder, "spans").c_str();
    fuzzsupport::write_file(spans, data, size);
    cbr_attach_modules(scan);
    file_clear_write_error();
    require(media_retain(s.media) == 0);

    const int rc = cbr_parse_spans(store);
    require(rc == 0 || rc == -1);
    media_release(s.media);
    if (rc == 0) {
        const std::string out = read_file(spans);
        require(out.size() % CBR_SPAN_SIZE == 0 && out.size() / CBR_SPAN_SIZE <= size / CBR_SPAN_SIZE);
        for (size_t at = 0; at < out.size(); at += CBR_SPAN_SIZE) {
            cbr_span span;
            std::memcpy(&span, out.data() + at, sizeof span);
            require(span.module_id == kFakeId && span.state == (CBR_SPAN_DETECTED | CBR_SPAN_MEASURED));
            require(span.start < span.end && span.end <= kCardSize);
            require(span.subtype == 1 || span.subtype == 2);
        }
        require(read_file(dir_file_path(store->folder, "gaps").c_str()).size() % 8 == 0);
    }
    require(entries(s.ws) == std::vector<std::string>{"Scan.01"});

    cbr_attach_modules(nullptr);
    clear_errors();
    require(scx_delete_one(&scan, false) == 0);
    require(scan == nullptr && scx_live_slots().empty());
    require(entries(s.ws).empty());
    require(entries(s.root).size() == 3); // the workspace, the card and the sentinel
    require(read_file(s.sentinel) == "precious");
    return 0;
}
