#include <gtest/gtest.h>

#include <string>

#include "module/registry_store.h"
#include "module/registry_text.h"

namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> list) {
  std::vector<uint8_t> out;
  for (int b : list) out.push_back(static_cast<uint8_t>(b));
  return out;
}

// The whole literal, embedded and final NULs included.
template <size_t N>
std::u16string Lit(const char16_t (&text)[N]) {
  return std::u16string(text, N - 1);
}

std::vector<uint8_t> Units(std::u16string_view text) {
  std::vector<uint8_t> out;
  for (char16_t c : text) {
    out.push_back(static_cast<uint8_t>(c & 0xFF));
    out.push_back(static_cast<uint8_t>(c >> 8));
  }
  return out;
}

void Set(RegKey* key, std::u16string_view name, uint32_t type, const std::vector<uint8_t>& data) {
  RegistrySetValue(key, name, type, data.data(), data.size());
}

RegKey* Key(RegistryData* data, std::u16string_view path) {
  bool created;
  RegKey* key = RegistryCreateKey(data, path, &created);
  EXPECT_NE(key, nullptr) << "cannot create key";
  return key;
}

void ExpectSameRegistry(const RegistryData& a, const RegistryData& b) {
  ASSERT_EQ(a.keys.size(), b.keys.size());
  for (size_t k = 0; k < a.keys.size(); k++) {
    EXPECT_TRUE(a.keys[k].path == b.keys[k].path) << "key " << k;
    ASSERT_EQ(a.keys[k].values.size(), b.keys[k].values.size()) << "key " << k;
    for (size_t v = 0; v < a.keys[k].values.size(); v++) {
      const RegValue& x = a.keys[k].values[v];
      const RegValue& y = b.keys[k].values[v];
      EXPECT_TRUE(x.name == y.name) << "key " << k << " value " << v;
      EXPECT_EQ(x.type, y.type) << "key " << k << " value " << v;
      EXPECT_EQ(x.data, y.data) << "key " << k << " value " << v;
    }
  }
}

}  // namespace

// Every value keeps its exact bytes through the text form, whether or not it
// is tidy data of its type; tidy data is written in the readable forms.
TEST(RegistryText, OddDataRoundTripsExactly) {
  RegistryData data;
  RegKey* driver = Key(&data, u"Drivers\\BuiltIn\\StrataFMD");
  Set(driver, u"Dll", REG_SZ, Units(Lit(u"flashdisk.dll\0")));
  Set(driver, u"MemBase", REG_DWORD, Bytes({0x00, 0x00, 0x48, 0x01}));
  Set(driver, u"Prefix", REG_SZ, Units(u"DSK"));  // no terminator
  Set(driver, u"Odd", REG_SZ, Bytes({0x41, 0x00, 0x42}));
  Set(driver, u"Embedded", REG_SZ, Units(Lit(u"a\0b\0")));
  Set(driver, u"Empty", REG_SZ, {});
  Set(driver, u"Short", REG_DWORD, Bytes({1, 2, 3}));
  Set(driver, u"Paths", REG_MULTI_SZ, Units(Lit(u"a\0b\0\0")));
  Set(driver, u"Holes", REG_MULTI_SZ, Units(Lit(u"a\0\0b\0\0")));
  Set(driver, u"Blob", REG_BINARY, Bytes({0x01, 0x02, 0xff}));
  Set(driver, u"NoBytes", REG_BINARY, {});
  Set(driver, u"Raw", REG_EXPAND_SZ, Units(Lit(u"%x%\0")));
  Set(driver, u"Strange", 0x12345678, Bytes({0xde, 0xad}));
  Set(driver, u"", REG_SZ, Units(Lit(u"default\0")));
  RegKey* tricky = Key(&data, u"Tricky]Key\\\u00c4\u4e2d\U0001F600");
  Set(tricky, u"quote\"back\\slash", REG_SZ,
      Units(Lit(u"line\nbreak \"q\" \\ tab\t \u00e9 \U0001F600 lone\xd800 end\0")));
  Set(tricky, u"ctl\x01name\n", REG_DWORD, Bytes({0, 0, 0, 0}));
  Key(&data, u"Empty\\Key");
  Set(Key(&data, u""), u"RootValue", REG_DWORD, Bytes({5, 0, 0, 0}));

  std::string text = RegistryToText(data);
  for (const char* line : {"[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\StrataFMD]\n", "\"Dll\"=\"flashdisk.dll\"\n",
                           "\"MemBase\"=dword:01480000\n", "\"Prefix\"=hex(1):44,00,53,00,4b,00\n",
                           "\"Paths\"=multi_sz:\"a\",\"b\"\n", "\"Blob\"=hex:01,02,ff\n", "\"NoBytes\"=hex:\n",
                           "\"Strange\"=hex(12345678):de,ad\n", "@=\"default\"\n", "[HKEY_LOCAL_MACHINE]\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << "missing " << line << " in\n" << text;
  }
  RegistryData back;
  std::string error;
  ASSERT_TRUE(RegistryFromText(text, &back, &error)) << error << "\n" << text;
  ExpectSameRegistry(data, back);
  EXPECT_EQ(RegistryToText(back), text);
}

// Text a person edited: comments, blank lines, CRLF, a BOM, different case in
// repeated headers and a child whose parents have no header of their own.
TEST(RegistryText, HandEditedTextMergesKeysCaseInsensitively) {
  std::string text =
      "\xEF\xBB\xBF; module registry\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\X]\r\n"
      "  \"Order\" = dword:2  \r\n"
      "[hkey_local_machine\\DRIVERS\\builtin\\x]\n"
      "\"order\"=dword:3\n"
      "\"Name\"=\"x\"\n";
  RegistryData data;
  std::string error;
  ASSERT_TRUE(RegistryFromText(text, &data, &error)) << error;
  ASSERT_EQ(data.keys.size(), 3u);
  EXPECT_TRUE(data.keys[0].path == u"Drivers");
  EXPECT_TRUE(data.keys[2].path == u"Drivers\\BuiltIn\\X");
  ASSERT_EQ(data.keys[2].values.size(), 2u);
  EXPECT_EQ(data.keys[2].values[0].data, Bytes({3, 0, 0, 0}));
}

TEST(RegistryText, MalformedTextIsRejectedWithItsLine) {
  const char* bad[] = {
      "\"a\"=\"b\"\n",  // value before any key
      "[HKEY_CURRENT_USER\\x]\n",
      "[HKEY_LOCAL_MACHINEX]\n",
      "[HKEY_LOCAL_MACHINE\\a\n",
      "[HKEY_LOCAL_MACHINE\\a\\\\b]\n",
      "[HKEY_LOCAL_MACHINE\\]\n",
      "[HKEY_LOCAL_MACHINE\\a]\n\"a\"=\"unterminated\n",
      "[HKEY_LOCAL_MACHINE\\a]\n\"a\"=dword:123456789\n",
      "[HKEY_LOCAL_MACHINE\\a]\n\"a\"=dword:\n",
      "[HKEY_LOCAL_MACHINE\\a]\n\"a\"=dword:12g\n",
      "[HKEY_LOCAL_MACHINE\\a]\n\"a\"=hex:01,02,\n",
      "[HKEY_LOCAL_MACHINE\\a]\n\"a\"=hex:100\n",
      "[HKEY_LOCAL_MACHINE\\a]\n\"a\"=hex(zz):00\n",
      "[HKEY_LOCAL_MACHINE\\a]\n\"a\"=hex(1:00\n",
      "[HKEY_LOCAL_MACHINE\\a]\n\"a\"=\"x\" junk\n",
      "[HKEY_LOCAL_MACHINE\\a]\n\"a\"=\"\\q\"\n",
      "[HKEY_LOCAL_MACHINE\\a]\n\"a\"=\"\\u12\"\n",
      "[HKEY_LOCAL_MACHINE\\a]\n\"a\"=multi_sz:\"a\",\"\"\n",
      "[HKEY_LOCAL_MACHINE\\a]\n\"a\"=multi_sz:\n",
      "[HKEY_LOCAL_MACHINE\\a]\n\"a\"=\"\xC0\x80\"\n",      // overlong
      "[HKEY_LOCAL_MACHINE\\a]\n\"a\"=\"\xED\xA0\x80\"\n",  // encoded surrogate
      "[HKEY_LOCAL_MACHINE\\a]\n\"a\"=\"\xE4\xB8\"\n",      // cut short
      "[HKEY_LOCAL_MACHINE\\a\xFF]\n",
      "[HKEY_LOCAL_MACHINE\\a]\na=1\n",
      "[HKEY_LOCAL_MACHINE\\a]\n\"a\" \"b\"\n",
      "[HKEY_LOCAL_MACHINE\\a]\n\"a\"=unknown:1\n",
  };
  for (const char* text : bad) {
    RegistryData data;
    Key(&data, u"Untouched");
    std::string error;
    EXPECT_FALSE(RegistryFromText(text, &data, &error)) << text;
    EXPECT_EQ(error.rfind("line ", 0), 0u) << text << ": " << error;
    EXPECT_EQ(data.keys.size(), 1u) << "a failed parse must leave the data alone: " << text;
  }
  RegistryData data;
  std::string error;
  EXPECT_FALSE(RegistryFromText("[HKEY_LOCAL_MACHINE\\a]\n\"ok\"=dword:1\n\n\"bad\"=\n", &data, &error));
  EXPECT_EQ(error.rfind("line 4:", 0), 0u) << error;
  std::string deep = "[HKEY_LOCAL_MACHINE";
  for (size_t level = 0; level <= kRegistryMaxDepth; level++) deep += "\\k";
  EXPECT_FALSE(RegistryFromText(deep + "]\n", &data, &error)) << "deeper than the module's registry goes";
}
