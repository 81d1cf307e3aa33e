#include "strict_reader.h"

#include <strings.h>

#include <algorithm>
#include <numeric>

#include "strict_text.h"

namespace webd {
namespace strict {
namespace {

using settings::Member;
using settings::Type;

SameField same_field(const char* sameFieldAs) {
    SameField s{sameFieldAs, std::strcspn(sameFieldAs, "["), 0, ""};
    const char* p = sameFieldAs + s.listLength + (sameFieldAs[s.listLength] != '\0' ? 1 : 0);
    for (; *p >= '0' && *p <= '9'; ++p) {
        s.element = s.element * 10 + (*p - '0');
    }
    s.field = p[0] == ']' && p[1] == '.' ? p + 2 : "";
    return s;
}

}  // namespace

Checker::Checker(const settings::Document& doc, const char* text, rapidjson::InsituStringStream& in)
    : m_doc(doc), m_text(text), m_in(in) {
    m_stack.reserve(8);
    for (size_t i = 0; i < doc.memberCount; ++i) {
        if (doc.members[i].sameFieldAs != nullptr) {
            m_targets.push_back(same_field(doc.members[i].sameFieldAs));
        }
    }
}

std::string Checker::path_of(const Frame* upto, const char* last) const {
    std::string out;
    for (const Frame& f : m_stack) {
        if (f.owner != nullptr) {
            if (f.position >= 0) {
                out += "[" + std::to_string(f.position) + "]";
            } else {
                out += (out.empty() ? "" : ".") + std::string(f.owner->name);
            }
        }
        if (&f == upto) {
            break;
        }
    }
    if (last != nullptr) {
        out += (out.empty() ? "" : ".") + std::string(last);
    }
    return out;
}

void Checker::push(Kind kind, const Member* rows, size_t count, const Member* owner,
                   const char* name, long position, size_t problem) {
    Frame f;
    f.kind = kind;
    f.rows = rows;
    f.count = count;
    f.owner = owner;
    f.name = name;
    f.position = position;
    f.start = problems.size();
    f.begin = m_in.Tell() - 1;  // the reader has taken the { or [
    f.unknown = count;
    f.problem = problem;
    m_stack.push_back(std::move(f));
}

Checker::Target Checker::target() {
    Frame& f = m_stack.back();
    switch (f.kind) {
        case Kind::kObject:
            return {f.current, &f};
        case Kind::kList:
            if (static_cast<size_t>(++f.index) == f.owner->maxItems) {
                add(path_of(&f, nullptr), "too many elements", "", settings::allowed_text(*f.owner),
                    "send at most " + std::to_string(f.owner->maxItems) +
                        " elements; the settings library would ignore the rest",
                    f.name);
                f.problem = problems.size() - 1;  // received: the array, at its end
            }
            return {f.owner, &f};
        case Kind::kSkip:
            break;
    }
    return {nullptr, &f};
}

bool Checker::Key(const char* key, rapidjson::SizeType size, bool) {
    Frame& f = m_stack.back();
    const Member* m = nullptr;
    if (std::strlen(key) == size) {  // a key with \u0000 in it is no member's
        m = f.next < f.count && std::strcmp(f.rows[f.next].name, key) == 0
                ? &f.rows[f.next]
                : settings::find_member(f.rows, f.count, key);
    }
    f.current = m;
    if (m == nullptr) {
        f.unknownKey.assign(key, size);
        f.currentRank = f.unknown++;
        return true;
    }
    const size_t row = static_cast<size_t>(m - f.rows);
    f.next = row + 1;
    f.currentRank = row;
    if (f.seen & (1u << row)) {
        f.current = nullptr;  // the value is reported, not checked again
        f.unknownKey = std::string("\x01") + m->name;
    } else {
        f.seen |= 1u << row;
    }
    return true;
}

bool Checker::scalar(Scalar type, const char* text, size_t size) {
    if (m_stack.empty()) {
        notObject = true;
        return false;
    }
    const Target t = target();
    Frame& f = *t.frame;
    auto received = [&] {
        return type == Scalar::kString ? shown_text(text, size) : excerpt(std::string(text, size));
    };
    if (f.kind == Kind::kSkip) {
        return true;
    }
    if (f.kind == Kind::kList) {
        add(path_of(&f, nullptr) + "[" + std::to_string(f.index) + "]", "wrong type", received(),
            settings::allowed_text(*f.owner),
            "each element is a JSON object; the settings library would skip this one", f.name);
        return true;
    }
    if (t.m == nullptr) {
        const bool duplicate = !f.unknownKey.empty() && f.unknownKey[0] == '\x01';
        if (duplicate) {
            const Member& m = *settings::find_member(f.rows, f.count, f.unknownKey.c_str() + 1);
            add(path(m), "duplicate member", received(), "each member once",
                std::string("\"") + m.name +
                    "\" is sent twice; the settings library would take the first and skip "
                    "this one",
                name_of(m, f));
        } else {
            const std::string key = excerpt(f.unknownKey, 64);
            const char* near = nearest(f.unknownKey, f.rows, f.count, &Member::name);
            std::string hint =
                near == nullptr ? "not a member of this document; see docs/api.md"
                : strcasecmp(f.unknownKey.c_str(), near) == 0
                    ? std::string("member names are case-sensitive: did you mean \"") + near + "\"?"
                    : std::string("did you mean \"") + near + "\"?";
            add(path_of(&f, key.c_str()), "unknown member", received(), "a member of this document",
                hint, f.name != nullptr ? f.name : key);
        }
        value_done();
        return true;
    }
    const Member& m = *t.m;
    switch (m.type) {
        case Type::kInteger:
            report(m,
                   strict::check_integer(m, type, text, size, m_stack.back().position, &rewrite));
            break;
        case Type::kString:
            if (type != Scalar::kString) {
                fail(m, "wrong type", received(),
                     "send a JSON string, in double quotes; the settings library would skip "
                     "this member");
            } else {
                check_text(m, text, size);
            }
            break;
        case Type::kArray:
            fail(m, "wrong type", received(),
                 "send a JSON array; the settings library would skip this member");
            break;
        case Type::kObject:
            fail(m, "wrong type", received(),
                 "send a JSON object; the settings library would skip this member");
            break;
    }
    value_done();
    return true;
}

void Checker::check_text(const Member& m, const char* text, size_t size) {
    Frame& f = m_stack.back();
    Finding bytes = strict::check_text_bytes(m, text, size);
    if (bytes.reason != nullptr) {
        report(m, std::move(bytes));
        return;
    }
    const bool placeholder = m.secret && std::strcmp(text, settings::kPasswordPlaceholder) == 0;
    rewrite = rewrite || placeholder;
    // Members that set the same field as a list element's member, and those members.
    if (m.sameFieldAs != nullptr && f.owner == nullptr && !placeholder) {
        m_sameField.push_back({m.sameFieldAs, text, size});
    }
    for (const SameField& target : m_targets) {
        if (target.element == f.position && !placeholder &&
            std::strcmp(target.field, m.name) == 0 &&
            std::strncmp(target.sameFieldAs, f.owner->name, target.listLength) == 0 &&
            f.owner->name[target.listLength] == '\0') {
            m_twins.push_back({target.sameFieldAs, text, size});
        }
    }
    if (m.unique) {
        Frame& list = m_stack[m_stack.size() - 2];
        for (const auto& earlier : list.uniques) {
            if (earlier.first == text) {
                add(path(m), "duplicate element", shown_text(text, size),
                    std::string("each ") + m.name + " once",
                    "element " + std::to_string(earlier.second) + " has the same " + m.name +
                        "; the later one would overwrite it",
                    name_of(m, f));
            }
        }
        list.uniques.emplace_back(text, f.position);
    }
    if (!placeholder) {
        report(m, strict::check_text_form(m, text, size));
    }
}

bool Checker::start(bool object) {
    if (m_stack.empty()) {
        if (!object) {
            notObject = true;
            return false;
        }
        push(Kind::kObject, m_doc.members, m_doc.memberCount, nullptr, nullptr, -1);
        return true;
    }
    if (m_stack.size() >= kMaxDepth) {
        tooDeep = true;  // the reader recurses per level: stop before the stack runs out
        return false;
    }
    const Target t = target();
    Frame& f = *t.frame;
    const std::string wrong = object ? "send a JSON object" : "send a JSON array";
    if (f.kind == Kind::kSkip) {
        push(Kind::kSkip, nullptr, 0, nullptr, nullptr, -1);
        return true;
    }
    if (f.kind == Kind::kList) {
        const Member& list = *f.owner;
        const std::string name = f.name;
        if (!object) {
            add(path_of(&f, nullptr) + "[" + std::to_string(f.index) + "]", "wrong type", "",
                settings::allowed_text(list),
                "each element is a JSON object; the settings library would skip this one", name);
            push(Kind::kSkip, nullptr, 0, nullptr, nullptr, -1, problems.size() - 1);
            return true;
        }
        push(Kind::kObject, list.fields, list.fieldCount, f.owner, f.name, f.index);
        return true;
    }
    if (t.m == nullptr) {  // an unknown or repeated member: reported with its whole text
        scalar(Scalar::kNull, "", 0);
        push(Kind::kSkip, nullptr, 0, nullptr, nullptr, -1, problems.size() - 1);
        return true;
    }
    const Member& m = *t.m;
    if (object && m.type == Type::kObject) {
        push(Kind::kObject, m.fields, m.fieldCount, &m, library_name(m, f), -1);
        return true;
    }
    if (!object && m.type == Type::kArray) {
        push(Kind::kList, m.fields, m.fieldCount, &m, library_name(m, f), -1);
        return true;
    }
    fail(m, "wrong type", "", wrong + "; the settings library would skip this member");
    push(Kind::kSkip, nullptr, 0, nullptr, nullptr, -1, problems.size() - 1);
    return true;
}

void Checker::finish_object(Frame& f) {
    for (size_t row = 0; row < f.count; ++row) {
        const Member& m = f.rows[row];
        if (m.required && !(f.seen & (1u << row))) {
            fail(m, "missing member", "",
                 std::string("send \"") + m.name +
                     "\" too; without it the settings library ignores or refuses this object");
            f.ranks.resize(problems.size() - f.start, row);
        }
    }
    if (f.owner == nullptr) {  // the document: members that set a list element's field
        for (const auto& same : m_sameField) {
            for (const auto& twin : m_twins) {
                if (same.sameFieldAs != twin.sameFieldAs || same == twin) {
                    continue;
                }
                const Member* m = nullptr;
                for (size_t row = 0; row < f.count; ++row) {
                    if (f.rows[row].sameFieldAs == same.sameFieldAs) {
                        m = &f.rows[row];
                        f.currentRank = row;
                    }
                }
                add(m->name, "conflict", shown_text(same.text, same.size),
                    "the same text as " + std::string(same.sameFieldAs) +
                        ", or only one of the two",
                    std::string(same.sameFieldAs) + " sets the same field and is applied after \"" +
                        m->name + "\", which would be lost; send one of them",
                    m->name);
                value_done();
            }
        }
    }
    if (f.ranks.size() < 2) {
        return;
    }
    // Stable: problems of one row keep their order (elements, then their members).
    std::vector<size_t> order(f.ranks.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return f.ranks[a] < f.ranks[b]; });
    std::vector<Problem> sorted;
    sorted.reserve(order.size());
    for (size_t i : order) {
        sorted.push_back(std::move(problems[f.start + i]));
    }
    std::move(sorted.begin(), sorted.end(), problems.begin() + static_cast<long>(f.start));
}

bool Checker::end() {
    Frame& f = m_stack.back();
    if (f.kind == Kind::kObject) {
        finish_object(f);
    }
    if (f.problem != std::string::npos && problems[f.problem].received.empty()) {
        problems[f.problem].received =
            excerpt(std::string(m_text + f.begin, m_in.Tell() - f.begin));
    }
    m_stack.pop_back();
    if (!m_stack.empty()) {
        value_done();
    }
    return true;
}

}  // namespace strict
}  // namespace webd
