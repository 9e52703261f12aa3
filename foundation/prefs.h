// The settings store: the engine's persistent settings in one INI file,
// "settings.ini" in the workspace folder.
//
// One process-wide document, guarded by one mutex, so every function here
// may be called from any thread. Section and key names compare without
// regard to ASCII case ("Global" and "global" name one section). Values are
// text: integers are stored as "%lld", floats as "%.4f".
//
// File layout (UTF-8, no signature):
//     [Scanning/FAT]
//     enabled = 1
//     [FM_Src]
//     BUILTIN = 1
// Sections other than "Global" hold the property tree's values under the
// tree path of their node; "FM_Src" holds the enabled state of the
// file-module sources; "Global" survives prefs_reset.
//
// Writing. Changes stay in memory until prefs_save, the end of the outermost
// batch (prefs_begin_update / prefs_end_update) when something changed, or
// an explicit save after prefs_reset. A save writes a new temporary file
// "settings.ini.tmp-<12 random hex digits>" in the same folder (created
// exclusively, never through a link, so whatever stands at such a name is
// never opened, and two engines saving at once each write their own),
// flushes it to the disk and renames it over "settings.ini", so a crash or
// a full disk during a save leaves the old file whole, and the file is
// always one save's whole text. A failed save removes its temporary file,
// is logged at error level, keeps the document in memory as it was, and the
// next save tries again. (A crash during a save may leave a temporary file.)
//
// Reading. A file that cannot be opened leaves the document as it is (the
// first run has no file). A damaged file (a NUL byte, text that is not
// UTF-8, more than 16 MiB, or text the INI reader refuses) loads as an
// empty document, so the property tree falls back to its defaults.
//
// Every text stored is read back byte for byte after a save and a load;
// what the file form cannot give back is refused when it is stored.
// Not promised: a value cut by a too small buffer may end inside a UTF-8
// sequence.
#pragma once

#include <cstddef>
#include <cstdint>

// The settings file becomes dir + "/settings.ini". The document is not
// touched. 0, or -1 (and no file) for a NULL or non-UTF-8 dir.
int prefs_set_dir(const char *dir);

// Loads the settings file, replacing the document (loading never merges
// into what was there). When the file cannot be opened, or is not a regular
// file, the document stays as it is, unless it was last loaded from another
// path: then it belongs to another workspace and is emptied. Returns 0, or
// -1 when the file was damaged and the document is now empty.
int prefs_load();

// The reading half of prefs_load on bytes in memory: the document becomes
// what the text holds, or empty (and -1) when the text is damaged.
int prefs_load_data(const char *data, size_t size);

// Saves now, unless a batch is open (then 0 and nothing written; the end of
// the batch saves). 0 on success, also without writing when the file holds
// the text of the document already; -1 when nothing was saved: no settings
// folder set, the folder cannot be made, or the temporary file cannot be
// written, flushed or renamed (each logged, errno telling why; the old file
// stays).
int prefs_save();

// Batches nest. The end of the outermost one saves when anything was stored
// since the store was made (the changed mark is never cleared). An end
// without a begin does nothing.
void prefs_begin_update();
void prefs_end_update();

// Removes every section whose name is not exactly "Global" (case-sensitive,
// so a section stored as "global" goes too). Does not save.
void prefs_reset();

// Stores a value, replacing an existing one. 0 on success; -1, with
// "prefs: can't set value (%d)" logged and nothing changed, when the
// document refuses it or the text could not be read back as given: a NULL
// argument, text that is not UTF-8, a line break anywhere, blanks (space,
// tab) at either end of the section, key or value, a "]" in the section, a
// key that is empty, holds "=" or begins with ";", "#" or "[", or a key of
// the unnamed section "" that begins with a UTF-8 byte-order mark (the
// file's first line, whose mark the reader takes for the file's signature).
int prefs_set_string(const char *section, const char *key, const char *value);
// "%lld" / "%.4f" (0.5 is stored as "0.5000"), then prefs_set_string.
int prefs_set_int(const char *section, const char *key, int64_t value);
int prefs_set_float(const char *section, const char *key, float value);

// Copies the value into buffer, cut to size - 1 bytes and terminated, and
// returns 0. An absent key fills the buffer with size zero bytes and
// returns -1. size 0 writes nothing and returns -1.
int prefs_get_string(const char *section, const char *key, char *buffer, size_t size);

// Reads the value's first 49 bytes as a base-10 signed 64-bit number into
// *value and returns 0; a text that is not a number gives 0 (not an error),
// one out of range the nearest limit. An absent key returns -1 and leaves
// *value unchanged.
int prefs_get_int(const char *section, const char *key, int64_t *value);
