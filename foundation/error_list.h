// The process-wide error list: at most 30 {code, count} entries; a code
// recorded again right after itself raises the count of the last entry.
#pragma once

#include <string>

void add_error(int code);
// Records code + errno * 1000 (errno as it was on entry).
void add_error_errno(int code);
void clear_errors();
int n_errors();
// "[283 2*307]"; "[]" when empty. malloc'ed, owned by the caller; NULL on failure.
char *error_list_string();
// The same text as a std::string; "" when error_list_string gives NULL.
std::string error_list_str();
