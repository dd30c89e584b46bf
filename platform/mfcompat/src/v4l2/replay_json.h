// A small JSON reader for the V4L2 replay descriptions: enough of RFC 8259 for hand-written files,
// with errors that name the line.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace mfcompat {
namespace json {

class MFCOMPAT_API Value {
public:
    enum class Type { Null, Bool, Number, String, Array, Object };

    Value() = default;

    Type type() const { return type_; }
    bool is_null() const { return type_ == Type::Null; }
    bool is_bool() const { return type_ == Type::Bool; }
    bool is_number() const { return type_ == Type::Number; }
    bool is_string() const { return type_ == Type::String; }
    bool is_array() const { return type_ == Type::Array; }
    bool is_object() const { return type_ == Type::Object; }

    bool boolean() const { return bool_; }
    double number() const { return number_; }
    const std::string& string() const { return string_; }
    const std::vector<Value>& array() const { return items_; }
    // Members in file order.
    const std::vector<std::pair<std::string, Value>>& members() const { return members_; }
    // The member with this key, or nullptr (also for a value that is no object).
    const Value* find(const std::string& key) const;

    static Value make_null() { return Value(Type::Null); }
    static Value make_bool(bool b);
    static Value make_number(double n);
    static Value make_string(std::string s);
    static Value make_array(std::vector<Value> items);
    static Value make_object(std::vector<std::pair<std::string, Value>> members);

private:
    explicit Value(Type t) : type_(t) {}
    Type type_ = Type::Null;
    bool bool_ = false;
    double number_ = 0;
    std::string string_;
    std::vector<Value> items_;
    std::vector<std::pair<std::string, Value>> members_;
};

// Parses a whole document; on failure returns false and says why and where in *error.
MFCOMPAT_API bool parse(const std::string& text, Value* out, std::string* error);

}  // namespace json
}  // namespace mfcompat
