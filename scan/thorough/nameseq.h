// Recovered-name numbering: the naming tree of "Reconstructed Files".
//
// The root (never shown) holds the eight category folders ("Archives",
// "Images", "Audio", "Movies", "Text", "Documents", "Mail", "Misc",
// localized); modules hang their type folders below a category ("JPEG"
// below "Images"). Each type folder numbers its files 00001, 00002, ...
// and, once max_dir_entries files are in its folder, goes on in a new
// folder named after it with a number ("JPEG1", "JPEG2", ...). A category
// never rolls over: it is one folder below the store's root.
//
// Folders are made in the current store's catalog when their first file is
// added (the folder callback), files by the file callback (cbr_tree.cpp).
// The tree lives for the whole process; nameseq_reset restarts the numbers
// at every thorough scan.
#pragma once

#include <cstddef>
#include <cstdint>

struct cbr_span;
struct fs_record;
struct nameseq_ctx;

constexpr size_t NAMESEQ_NAME_SIZE = 32;

struct nameseq_node {
    nameseq_node *parent = nullptr;
    nameseq_node *first_child = nullptr;
    nameseq_node *next_sibling = nullptr;
    nameseq_ctx *ctx = nullptr;
    char name[NAMESEQ_NAME_SIZE] = {};
    uint64_t file_counter = 1;   // the number of the next file
    int64_t folder_position = 0; // files in the current folder
    int64_t folder_number = 0;   // 0 for the first folder
    bool created = false;
    uint64_t cat_id = 0;         // catalog id once created
    uint64_t parent_cat_id = 0;
};

typedef int (*nameseq_folder_fn)(nameseq_node *node);
typedef int (*nameseq_file_fn)(nameseq_node *node, const char *name, cbr_span *span, int64_t date);

struct nameseq_ctx {
    int64_t max_dir_entries = 10000;
    char format[NAMESEQ_NAME_SIZE] = {}; // "%05lld" (the file counter as long long)
    nameseq_node root;                   // counts as created
    nameseq_folder_fn folder_callback = nullptr;
    nameseq_file_fn file_callback = nullptr;
    fs_record *store = nullptr;          // the current store
};

nameseq_ctx *nameseq_new();
// Frees a context made by nameseq_new with all its nodes; *ctx is cleared.
void nameseq_free(nameseq_ctx **ctx);
void nameseq_reset(nameseq_ctx *ctx);
// The process's naming context (made by cbr_init), or NULL.
nameseq_ctx *nameseq_context();
// Finds the node at a path of names below the root (or below node); with
// create, missing steps are made (a new child goes first among its
// siblings). NULL when absent and not created.
nameseq_node *nameseq_find(nameseq_ctx *ctx, const char *const *names, size_t count, bool create);
nameseq_node *nameseq_find_in(nameseq_node *node, const char *const *names, size_t count, bool create);
// "%s", or "%s%d" with the folder number once it is not 0.
void nameseq_folder_name(const nameseq_node *node, char *buffer, size_t size);
// The format applied to the node's file counter ("00001"); per-thread buffer.
const char *nameseq_next_name(const nameseq_node *node);
int nameseq_add(nameseq_node *node, const char *name, cbr_span *span, int64_t date);
int nameseq_add_now(nameseq_node *node, const char *name, cbr_span *span);
// Registers "max_dir_entries" on "Scanning/Reconstructed Files".
void nameseq_register_prefs();

// The category folders (made by cbr_init).
enum nameseq_category : int {
    NAMESEQ_ARCHIVES,
    NAMESEQ_IMAGES,
    NAMESEQ_AUDIO,
    NAMESEQ_MOVIES,
    NAMESEQ_TEXT,
    NAMESEQ_DOCUMENTS,
    NAMESEQ_MAIL,
    NAMESEQ_MISC,
    NAMESEQ_CATEGORIES,
};
nameseq_node *nameseq_category_node(nameseq_category category);
