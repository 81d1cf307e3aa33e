/*
 * One field of a fixed-layout settings record (lpr_defs.h): its type, where it lies and
 * how wide it is, and the one way its bytes are read and written. The settings database
 * fills and stores its columns through it, lpr-settings-db its keys, and the settings
 * actions may read and write their members through it.
 *
 * Header-only, so that liblprcommon, liblprcgi and the programs share it without an
 * export. Numbers are copied with memcpy: a caller reaches a field through a byte offset
 * into the record, and an enumeration field may hold any value that the database stored,
 * not only its enumerators. Nothing here checks a value against its range on a write;
 * that is the caller's test (holds()), made before the record is touched.
 */
#ifndef LPR_RECORD_FIELD_H
#define LPR_RECORD_FIELD_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

namespace lpr {

enum class FieldType : unsigned char {
    U8,     /* uint8_t, 0..255 */
    I32,    /* int32_t */
    U32,    /* 4 bytes unsigned: the records' enumerations, 0..2^32-1 */
    TEXT,   /* char[size]: a NUL-terminated text of at most size - 1 bytes */
    DIGITS, /* char[size] read by position (osd_space): a NUL does not end it */
};

struct FieldRange {
    int64_t min;
    int64_t max;
};

struct RecordField {
    FieldType type;
    size_t offset; /* of the field's first byte in its record */
    size_t size;   /* bytes of the field */

    constexpr bool is_text() const { return type == FieldType::TEXT || type == FieldType::DIGITS; }

    /* The values that a number field holds. */
    constexpr FieldRange range() const {
        switch (type) {
            case FieldType::U8:
                return {0, UINT8_MAX};
            case FieldType::I32:
                return {INT32_MIN, INT32_MAX};
            default:
                return {0, UINT32_MAX};
        }
    }

    constexpr bool holds(int64_t value) const {
        return value >= range().min && value <= range().max;
    }

    /* The most bytes a text field stores: a text keeps its last byte for the NUL. */
    constexpr size_t text_capacity() const { return type == FieldType::TEXT ? size - 1 : size; }

    /* The same field in element i of an array of such fields (a destination slot). */
    constexpr RecordField element(size_t i) const { return {type, offset + i * size, size}; }

    int64_t number(const void* record) const {
        const unsigned char* at = bytes(record);
        if (type == FieldType::U8) {
            return *at;
        }
        if (type == FieldType::I32) {
            int32_t value;
            std::memcpy(&value, at, sizeof value);
            return value;
        }
        uint32_t value;
        std::memcpy(&value, at, sizeof value);
        return value;
    }

    /* Stores a value that holds() accepts. */
    void set_number(void* record, int64_t value) const {
        unsigned char* at = bytes(record);
        if (type == FieldType::U8) {
            *at = static_cast<uint8_t>(value);
        } else if (type == FieldType::I32) {
            const int32_t v = static_cast<int32_t>(value);
            std::memcpy(at, &v, sizeof v);
        } else {
            const uint32_t v = static_cast<uint32_t>(value);
            std::memcpy(at, &v, sizeof v);
        }
    }

    const char* text(const void* record) const {
        return reinterpret_cast<const char*>(bytes(record));
    }

    /* The bytes of a text field that count: a text up to its NUL (the whole array when a
     * damaged record has none: never beyond it), digits up to the last byte that is not
     * NUL (a NUL between digits counts). */
    size_t text_length(const void* record) const {
        if (type == FieldType::TEXT) {
            return strnlen(text(record), size);
        }
        const unsigned char* at = bytes(record);
        size_t length = size;
        while (length > 0 && at[length - 1] == '\0') {
            --length;
        }
        return length;
    }

    /* Whether a text ends with a NUL inside its array; digits need none. */
    bool text_terminated(const void* record) const {
        return type != FieldType::TEXT || std::memchr(bytes(record), '\0', size) != nullptr;
    }

    /* Sets a text field to length bytes (at most text_capacity()) and NULs after them. */
    void set_text(void* record, const char* data, size_t length) const {
        unsigned char* at = bytes(record);
        std::memset(at, 0, size);
        if (length > 0) {
            std::memcpy(at, data, length);
        }
    }

    /* Copies a NUL-terminated text cut byte-wise to size - 1 bytes, then its NUL, as the
     * write actions store a request's text: a long text is cut, never refused, and the
     * bytes after the new NUL keep what they held. */
    void put_cut_text(void* record, const char* data) const {
        char* at = reinterpret_cast<char*>(bytes(record));
        const size_t length = strnlen(data, size - 1);
        std::memcpy(at, data, length);
        at[length] = '\0';
    }

  private:
    unsigned char* bytes(void* record) const {
        return static_cast<unsigned char*>(record) + offset;
    }
    const unsigned char* bytes(const void* record) const {
        return static_cast<const unsigned char*>(record) + offset;
    }
};

template <typename T>
struct UnsupportedField : std::false_type {};

/* The field type that follows a member's C type; a member of another type does not
 * compile. */
template <typename M>
constexpr FieldType field_type_of() {
    using T = std::remove_cv_t<std::remove_reference_t<M>>;
    if constexpr (std::is_same_v<T, uint8_t>) {
        return FieldType::U8;
    } else if constexpr (std::is_same_v<T, int32_t>) {
        return FieldType::I32;
    } else if constexpr (std::is_enum_v<T>) {
        static_assert(sizeof(T) == 4 && std::is_unsigned_v<std::underlying_type_t<T>>,
                      "enumerations are unsigned 32-bit values");
        return FieldType::U32;
    } else if constexpr (std::is_array_v<T> && std::is_same_v<std::remove_extent_t<T>, char>) {
        return FieldType::TEXT;
    } else {
        static_assert(UnsupportedField<T>::value, "no field type for this member type");
        return FieldType::U8;
    }
}

}  // namespace lpr

/* The RecordField of member m (a designator such as snapshotResInfo.width or
 * postSetting.url[0]) of record type R. */
#define LPR_RECORD_FIELD(R, m)                                                              \
    (lpr::RecordField{lpr::field_type_of<decltype(std::declval<R&>().m)>(), offsetof(R, m), \
                      sizeof(std::declval<R&>().m)})

#endif /* LPR_RECORD_FIELD_H */
