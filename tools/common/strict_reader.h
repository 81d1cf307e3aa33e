/*
 * The event reader of strict mode: one pass of RapidJSON's SAX reader over a write's body,
 * checking each value against its row of the settings table as it comes (the member rules
 * are in strict_rules.h) and where it sits: unknown and repeated members, elements of
 * lists, positions, unique fields, required members, members that set the same field. No
 * tree is built, and no text is made unless a problem is found, so that a body that passes
 * costs little beside the library's own parse. Each object or array being read is a frame
 * on a stack; the problems of an object are put in the order of its rows, the order in
 * which the library examines the members.
 */
#ifndef LPR_WEBD_STRICT_READER_H
#define LPR_WEBD_STRICT_READER_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

// RapidJSON skips blanks 16 bytes at a time where the processor can.
#if defined(__SSE2__)
#define RAPIDJSON_SSE2
#endif
#include <rapidjson/reader.h>

#include "settings_table.h"
#include "strict_refusal.h"
#include "strict_rules.h"

namespace webd {
namespace strict {

/* Deepest nesting of objects and arrays read; the documents have three levels. */
constexpr size_t kMaxDepth = 32;

/* A member that sets the same field as a list element's member: "httpList[0].url" read
 * as list "httpList", element 0, field "url". */
struct SameField {
    const char* sameFieldAs;
    size_t listLength;
    long element;
    const char* field;
};

/* A text met during the check, where the reader decoded it (valid for the whole check). */
struct Met {
    const char* sameFieldAs;
    const char* text;
    size_t size;
    bool operator==(const Met& other) const {
        return size == other.size && std::memcmp(text, other.text, size) == 0;
    }
};

/* The check, as one pass of RapidJSON's event reader over the body: no tree, and no
 * text made unless a problem is found, so that a body that passes costs little beside
 * the library's own parse. Each object or array being read is a frame on a stack. */
class Checker : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, Checker> {
  public:
    /* text: the bytes that in reads, for the excerpts of values. */
    Checker(const settings::Document& doc, const char* text, rapidjson::InsituStringStream& in);

    std::vector<Problem> problems;
    /* A switch came as false/true, or a password as the placeholder: the body goes to
     * the library re-printed (rewritten()). */
    bool rewrite = false;
    /* The body is JSON but not an object. */
    bool notObject = false;
    /* Objects and arrays nested deeper than kMaxDepth: reading stopped there. */
    bool tooDeep = false;

    bool Null() { return scalar(Scalar::kNull, "null", 4); }
    bool Bool(bool b) {
        return b ? scalar(Scalar::kBool, "true", 4) : scalar(Scalar::kBool, "false", 5);
    }
    bool RawNumber(const char* text, rapidjson::SizeType size, bool) {
        return scalar(Scalar::kNumber, text, size);
    }
    bool String(const char* text, rapidjson::SizeType size, bool) {
        return scalar(Scalar::kString, text, size);
    }
    bool StartObject() { return start(true); }
    bool StartArray() { return start(false); }
    bool Key(const char* key, rapidjson::SizeType size, bool);
    bool EndObject(rapidjson::SizeType) { return end(); }
    bool EndArray(rapidjson::SizeType) { return end(); }

  private:
    enum class Kind { kObject, kList, kSkip };

    struct Frame {
        Kind kind;
        const settings::Member* rows; /* object: its rows; list: its elements' rows */
        size_t count;
        const settings::Member* owner; /* the member whose value this is; null: the document */
        const char* name;              /* the library's name for members inside (null: their own) */
        long position;                 /* element index of an object in a list, else -1 */
        size_t start;                  /* problems.size() when the frame began */
        size_t begin;                  /* offset of its first byte in the body */
        std::vector<size_t> ranks;     /* per problem from start: the row it belongs to */
        /* objects */
        uint32_t seen = 0;
        size_t next = 0;    /* bodies mostly follow the table's order: the row to try first */
        size_t unknown = 0; /* rank of the next unknown member */
        const settings::Member* current = nullptr; /* the row of the value that comes next */
        size_t currentRank = 0;
        std::string unknownKey; /* the key of an unknown member's value */
        /* lists */
        long index = -1;                                   /* the element being read */
        std::vector<std::pair<std::string, long>> uniques; /* values of a unique field */
        /* skips: the problem whose "received" is this value's text */
        size_t problem = std::string::npos;
    };

    /* What the value that starts now is for. */
    struct Target {
        const settings::Member* m; /* null: an unknown member, or a value being skipped */
        Frame* frame;              /* the object or list it is in */
    };

    std::string path_of(const Frame* upto, const char* last) const;
    std::string path(const settings::Member& m) const { return path_of(&m_stack.back(), m.name); }
    static const char* library_name(const settings::Member& m, const Frame& f) {
        return m.errorName != nullptr ? m.errorName : f.name != nullptr ? f.name : m.name;
    }
    std::string name_of(const settings::Member& m, const Frame& f) const {
        return library_name(m, f);
    }
    void add(std::string member, const char* reason, std::string received, std::string allowed,
             std::string hint, std::string name) {
        problems.push_back({std::move(member), reason, std::move(received), std::move(allowed),
                            std::move(hint), std::move(name)});
    }
    void fail(const settings::Member& m, const char* reason, std::string received,
              const std::string& hint) {
        add(path(m), reason, std::move(received), settings::allowed_text(m), hint,
            name_of(m, m_stack.back()));
    }
    /* What a member rule (strict_rules.h) found, if anything. */
    void report(const settings::Member& m, Finding found) {
        if (found.reason != nullptr) {
            add(path(m), found.reason, std::move(found.received),
                found.allowed.empty() ? settings::allowed_text(m) : std::move(found.allowed),
                std::move(found.hint), name_of(m, m_stack.back()));
        }
    }
    /* The value in the top frame is complete: its problems get the frame's rank. */
    void value_done() {
        Frame& f = m_stack.back();
        if (f.kind != Kind::kSkip) {
            f.ranks.resize(problems.size() - f.start, f.currentRank);
        }
    }
    Target target();
    bool scalar(Scalar type, const char* text, size_t size);
    void check_text(const settings::Member& m, const char* text, size_t size);
    bool start(bool object);
    bool end();
    void finish_object(Frame& f);
    void push(Kind kind, const settings::Member* rows, size_t count, const settings::Member* owner,
              const char* name, long position, size_t problem = std::string::npos);

    const settings::Document& m_doc;
    const char* m_text;
    rapidjson::InsituStringStream& m_in; /* read only for positions */
    std::vector<Frame> m_stack;
    /* Values of the members that set the same field as a list element's member, and
     * of those elements' members: {sameFieldAs, value}. */
    std::vector<SameField> m_targets;
    std::vector<Met> m_sameField;
    std::vector<Met> m_twins;
};

}  // namespace strict
}  // namespace webd

#endif /* LPR_WEBD_STRICT_READER_H */
