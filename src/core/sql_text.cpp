#include "core/sql_text.h"

#include <cstring>

#include "core/util.h"

void sqlTextStart(SqlTextT* t)
{
    t->text[0] = '\0';
    t->len = 0;
    t->afterBlank = 0;
    t->closed = 0;
}

void sqlTextAdd(SqlTextT* t, const u8* bytes, long n)
{
    int len = t->len;
    bool afterBlank = t->afterBlank != 0;
    for (long i = 0; i < n && len < SQL_TEXT_CHARS && !t->closed; ++i) {
        u8 b = bytes[i];
        if (b == 0) {
            t->closed = 1;
            break;
        }
        if (b == '\r' || b == '\n' || b == '\t') b = ' ';
        if (b == ' ') {
            if (afterBlank) continue;
            afterBlank = true;
            t->text[len++] = ' ';
            continue;
        }
        // A dropped control byte still ends a run of blanks, as the
        // statements of the other databases have always been written.
        afterBlank = false;
        if (static_cast<signed char>(b) <= 0x1F) continue;  // control bytes, and 0x80 on as signed
        t->text[len++] = b == '"' ? '\'' : static_cast<char>(b);
    }
    t->text[len] = '\0';
    t->len = static_cast<u16>(len);
    t->afterBlank = afterBlank;
}

void sqlTextEnd(SqlTextT* t)
{
    trim(t->text);
    t->len = static_cast<u16>(std::strlen(t->text));
}
