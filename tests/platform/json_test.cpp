#include <gtest/gtest.h>

#include "platform/json.h"

namespace {

// What a parser would choke on, or read as something else.
TEST(Json, StringsAreEscapedAndAlwaysValidUtf8) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"\\USB HD\\\"nk\".bin", R"("\\USB HD\\\"nk\".bin")"},
      {"a\nb\tc\x01\x1f", R"("a\nb\tc\u0001\u001f")"},
      {"caf\xC3\xA9 \xF0\x9F\x98\x80", "\"caf\xC3\xA9 \xF0\x9F\x98\x80\""},
      // Latin-1, an overlong '/', a surrogate, a sequence cut short.
      {"\xE9t\xC0\xAF\xED\xA0\x80\xE2\x82", "\"\xEF\xBF\xBDt\xEF\xBF\xBD\xEF\xBF\xBD" + std::string(
                                                "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"")},
  };
  for (const auto& c : cases) EXPECT_EQ(JsonQuote(c.in), c.out) << c.in;
}

TEST(Json, MembersAndElementsAreSeparated) {
  JsonWriter w;
  JsonBeginObject(&w);
  JsonNumber(&w, "n", 4294967296);
  JsonBeginArray(&w, "a");
  JsonBool(&w, nullptr, true);
  JsonNull(&w, nullptr);
  JsonBeginObject(&w);
  JsonEndObject(&w);
  JsonEndArray(&w);
  JsonString(&w, "s", u"\u00e9");
  JsonEndObject(&w);
  EXPECT_EQ(w.text, "{\"n\":4294967296,\"a\":[true,null,{}],\"s\":\"\xC3\xA9\"}");
}

}  // namespace
