#include "v4l2/replay_json.h"

#include <cmath>
#include <cstdlib>

namespace mfcompat {
namespace json {
namespace {

// Deeper nesting than any description needs; bounds the recursion on hostile input.
constexpr int kMaxDepth = 64;

class Parser {
public:
    explicit Parser(const std::string& text) : text_(text) {}

    bool document(Value* out, std::string* error) {
        skip_space();
        if (!value(out, 0)) {
            *error = message();
            return false;
        }
        skip_space();
        if (pos_ != text_.size()) {
            fail("text after the document");
            *error = message();
            return false;
        }
        return true;
    }

private:
    bool fail(const char* what) {
        if (what_.empty()) {
            what_ = what;
            fail_pos_ = pos_;
        }
        return false;
    }

    std::string message() const {
        size_t line = 1;
        for (size_t i = 0; i < fail_pos_ && i < text_.size(); ++i)
            if (text_[i] == '\n') ++line;
        return what_ + " (line " + std::to_string(line) + ")";
    }

    bool at_end() const { return pos_ >= text_.size(); }
    char peek() const { return at_end() ? '\0' : text_[pos_]; }

    void skip_space() {
        while (!at_end() && (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\n' || text_[pos_] == '\r'))
            ++pos_;
    }

    bool literal(const char* word) {
        size_t n = std::char_traits<char>::length(word);
        if (text_.compare(pos_, n, word) != 0) return fail("unknown word");
        pos_ += n;
        return true;
    }

    bool value(Value* out, int depth) {
        if (depth > kMaxDepth) return fail("nested too deeply");
        switch (peek()) {
            case '{': return object(out, depth);
            case '[': return array(out, depth);
            case '"': {
                std::string s;
                if (!string(&s)) return false;
                *out = Value::make_string(std::move(s));
                return true;
            }
            case 't':
                if (!literal("true")) return false;
                *out = Value::make_bool(true);
                return true;
            case 'f':
                if (!literal("false")) return false;
                *out = Value::make_bool(false);
                return true;
            case 'n':
                if (!literal("null")) return false;
                *out = Value::make_null();
                return true;
            default:
                return number(out);
        }
    }

    bool object(Value* out, int depth) {
        ++pos_;  // '{'
        std::vector<std::pair<std::string, Value>> members;
        skip_space();
        if (peek() == '}') {
            ++pos_;
            *out = Value::make_object(std::move(members));
            return true;
        }
        for (;;) {
            skip_space();
            if (peek() != '"') return fail("expected a member name");
            std::string key;
            if (!string(&key)) return false;
            skip_space();
            if (peek() != ':') return fail("expected ':'");
            ++pos_;
            skip_space();
            Value v;
            if (!value(&v, depth + 1)) return false;
            members.emplace_back(std::move(key), std::move(v));
            skip_space();
            if (peek() == ',') {
                ++pos_;
                continue;
            }
            if (peek() == '}') {
                ++pos_;
                *out = Value::make_object(std::move(members));
                return true;
            }
            return fail("expected ',' or '}'");
        }
    }

    bool array(Value* out, int depth) {
        ++pos_;  // '['
        std::vector<Value> items;
        skip_space();
        if (peek() == ']') {
            ++pos_;
            *out = Value::make_array(std::move(items));
            return true;
        }
        for (;;) {
            skip_space();
            Value v;
            if (!value(&v, depth + 1)) return false;
            items.push_back(std::move(v));
            skip_space();
            if (peek() == ',') {
                ++pos_;
                continue;
            }
            if (peek() == ']') {
                ++pos_;
                *out = Value::make_array(std::move(items));
                return true;
            }
            return fail("expected ',' or ']'");
        }
    }

    bool hex4(uint32_t* v) {
        if (pos_ + 4 > text_.size()) return fail("short \\u escape");
        *v = 0;
        for (int i = 0; i < 4; ++i) {
            char c = text_[pos_++];
            *v <<= 4;
            if (c >= '0' && c <= '9') *v |= uint32_t(c - '0');
            else if (c >= 'a' && c <= 'f') *v |= uint32_t(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') *v |= uint32_t(c - 'A' + 10);
            else return fail("bad \\u escape");
        }
        return true;
    }

    static void append_utf8(std::string* s, uint32_t cp) {
        if (cp < 0x80) {
            s->push_back(char(cp));
        } else if (cp < 0x800) {
            s->push_back(char(0xC0 | (cp >> 6)));
            s->push_back(char(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            s->push_back(char(0xE0 | (cp >> 12)));
            s->push_back(char(0x80 | ((cp >> 6) & 0x3F)));
            s->push_back(char(0x80 | (cp & 0x3F)));
        } else {
            s->push_back(char(0xF0 | (cp >> 18)));
            s->push_back(char(0x80 | ((cp >> 12) & 0x3F)));
            s->push_back(char(0x80 | ((cp >> 6) & 0x3F)));
            s->push_back(char(0x80 | (cp & 0x3F)));
        }
    }

    bool string(std::string* out) {
        ++pos_;  // '"'
        for (;;) {
            if (at_end()) return fail("unterminated string");
            char c = text_[pos_++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return fail("control character in a string");
            if (c != '\\') {
                out->push_back(c);
                continue;
            }
            if (at_end()) return fail("unterminated string");
            char e = text_[pos_++];
            switch (e) {
                case '"': out->push_back('"'); break;
                case '\\': out->push_back('\\'); break;
                case '/': out->push_back('/'); break;
                case 'b': out->push_back('\b'); break;
                case 'f': out->push_back('\f'); break;
                case 'n': out->push_back('\n'); break;
                case 'r': out->push_back('\r'); break;
                case 't': out->push_back('\t'); break;
                case 'u': {
                    uint32_t cp;
                    if (!hex4(&cp)) return false;
                    if (cp >= 0xD800 && cp <= 0xDBFF) {
                        uint32_t low;
                        if (text_.compare(pos_, 2, "\\u") != 0) return fail("lone surrogate");
                        pos_ += 2;
                        if (!hex4(&low)) return false;
                        if (low < 0xDC00 || low > 0xDFFF) return fail("lone surrogate");
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                        return fail("lone surrogate");
                    }
                    append_utf8(out, cp);
                    break;
                }
                default:
                    return fail("bad escape");
            }
        }
    }

    bool number(Value* out) {
        size_t start = pos_;
        if (peek() == '-') ++pos_;
        if (!(peek() >= '0' && peek() <= '9')) return fail("expected a value");
        while (peek() >= '0' && peek() <= '9') ++pos_;
        if (peek() == '.') {
            ++pos_;
            if (!(peek() >= '0' && peek() <= '9')) return fail("bad number");
            while (peek() >= '0' && peek() <= '9') ++pos_;
        }
        if (peek() == 'e' || peek() == 'E') {
            ++pos_;
            if (peek() == '+' || peek() == '-') ++pos_;
            if (!(peek() >= '0' && peek() <= '9')) return fail("bad number");
            while (peek() >= '0' && peek() <= '9') ++pos_;
        }
        std::string digits = text_.substr(start, pos_ - start);
        double v = std::strtod(digits.c_str(), nullptr);
        if (!std::isfinite(v)) return fail("number out of range");
        *out = Value::make_number(v);
        return true;
    }

    const std::string& text_;
    size_t pos_ = 0;
    std::string what_;
    size_t fail_pos_ = 0;
};

}  // namespace

const Value* Value::find(const std::string& key) const {
    for (const auto& m : members_)
        if (m.first == key) return &m.second;
    return nullptr;
}

Value Value::make_bool(bool b) {
    Value v(Type::Bool);
    v.bool_ = b;
    return v;
}
Value Value::make_number(double n) {
    Value v(Type::Number);
    v.number_ = n;
    return v;
}
Value Value::make_string(std::string s) {
    Value v(Type::String);
    v.string_ = std::move(s);
    return v;
}
Value Value::make_array(std::vector<Value> items) {
    Value v(Type::Array);
    v.items_ = std::move(items);
    return v;
}
Value Value::make_object(std::vector<std::pair<std::string, Value>> members) {
    Value v(Type::Object);
    v.members_ = std::move(members);
    return v;
}

bool parse(const std::string& text, Value* out, std::string* error) {
    Parser p(text);
    return p.document(out, error);
}

}  // namespace json
}  // namespace mfcompat
