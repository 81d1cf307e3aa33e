// The record-field module on a 12-byte record: every write leaves exactly the bytes its
// field type says and touches nothing outside the field, and every read gives back the
// value or text those bytes stand for.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "record_field.h"

namespace {

using lpr::FieldType;
using lpr::RecordField;

constexpr char kFill = '\xEE';

struct Case {
    const char* name;
    RecordField field;
    void (*write)(const RecordField&, void*);
    std::string bytes;  // the record afterwards
    int64_t number;     // numbers: what number() reads back
    std::string text;   // texts: the bytes that text() and text_length() give
    bool terminated = true;
};

const Case kCases[] = {
    {"u8 at its top",
     {FieldType::U8, 1, 1},
     [](const RecordField& f, void* r) { f.set_number(r, 255); },
     "\xEE\xFF" + std::string(10, kFill),
     255,
     ""},
    {"i32 below zero",
     {FieldType::I32, 4, 4},
     [](const RecordField& f, void* r) { f.set_number(r, -2); },
     std::string(4, kFill) + "\xFE\xFF\xFF\xFF" + std::string(4, kFill),
     -2,
     ""},
    {"u32 above the int range",
     {FieldType::U32, 8, 4},
     [](const RecordField& f, void* r) { f.set_number(r, 4294967295); },
     std::string(8, kFill) + "\xFF\xFF\xFF\xFF",
     4294967295,
     ""},
    {"text set with NULs after it",
     {FieldType::TEXT, 2, 5},
     [](const RecordField& f, void* r) { f.set_text(r, "abc", 3); },
     std::string(2, kFill) + std::string("abc\0\0", 5) + std::string(5, kFill),
     0,
     "abc"},
    {"text cut to its array less the NUL",
     {FieldType::TEXT, 2, 5},
     [](const RecordField& f, void* r) { f.put_cut_text(r, "abcdefgh"); },
     std::string(2, kFill) + std::string("abcd\0", 5) + std::string(5, kFill),
     0,
     "abcd"},
    {"short text cut keeps the bytes after its NUL",
     {FieldType::TEXT, 2, 5},
     [](const RecordField& f, void* r) { f.put_cut_text(r, "a"); },
     std::string(2, kFill) + std::string("a\0", 2) + std::string(8, kFill),
     0,
     "a"},
    {"slot 2 of 3-byte texts", RecordField{FieldType::TEXT, 0, 3}.element(2),
     [](const RecordField& f, void* r) { f.put_cut_text(r, "xy"); },
     std::string(6, kFill) + std::string("xy\0", 3) + std::string(3, kFill), 0, "xy"},
    {"digits count up to the last byte that is not NUL",
     {FieldType::DIGITS, 0, 6},
     [](const RecordField& f, void* r) { f.set_text(r, "1\0003", 3); },
     std::string("1\0003\0\0\0", 6) + std::string(6, kFill),
     0,
     std::string("1\0003", 3)},
    {"a damaged text without its NUL is read to the end of its array",
     {FieldType::TEXT, 2, 5},
     [](const RecordField& f, void* r) {
         std::memset(static_cast<char*>(r) + f.offset, 'z', f.size);
     },
     std::string(2, kFill) + "zzzzz" + std::string(5, kFill),
     0,
     "zzzzz",
     false},
};

}  // namespace

TEST(RecordField, writes_leave_exactly_their_bytes_and_reads_give_them_back) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        char record[12];
        std::memset(record, kFill, sizeof record);
        c.write(c.field, record);
        EXPECT_EQ(std::string(record, sizeof record), c.bytes);
        if (c.field.is_text()) {
            EXPECT_EQ(std::string(c.field.text(record), c.field.text_length(record)), c.text);
            EXPECT_EQ(c.field.text_terminated(record), c.terminated);
        } else {
            EXPECT_EQ(c.field.number(record), c.number);
        }
    }
}
