// A statement's text as the records write it, built from bytes that may come
// a segment at a time: line breaks and tabs become a blank (a tab separates
// words), runs of blanks one blank, other control bytes and every byte from
// 0x80 on are dropped, a double quote becomes a single quote (the record's
// text fields stay unambiguous), at most SQL_TEXT_CHARS characters, no blank
// at either end once ended.
#pragma once

#include "core/types.h"

constexpr int SQL_TEXT_SIZE = 1024;  // the records' sql field
constexpr int SQL_TEXT_CHARS = 1021;

struct SqlTextT {
    char text[SQL_TEXT_SIZE];  // NUL-terminated
    u16 len;
    u8 afterBlank;
    u8 closed;  // a NUL byte ended the text
};

void sqlTextStart(SqlTextT* t);
// Adds n bytes; a NUL byte ends the text (nothing after it is added).
void sqlTextAdd(SqlTextT* t, const u8* bytes, long n);
// Drops the blanks at either end.
void sqlTextEnd(SqlTextT* t);
