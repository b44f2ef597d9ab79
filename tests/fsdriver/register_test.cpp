// Writing and removing the restore driver key and the storage profile's
// values, byte for byte.
#include "fwlib/results.h"
#include "platform/text.h"
#include "storage/flash_disk_driver.h"
#include "tests/fsdriver/fsdriver_fixture.h"

namespace {

constexpr const char16_t* kGeometryValues[] = {u"MemBase", u"MemLen", u"BlockSize", u"SectorSize"};
constexpr const char16_t* kCopiedValues[] = {u"Dll", u"Profile", u"IClass"};
constexpr uint32_t kFactoryFormatTfat = 0;

void SetFolder(FsStreamHeader* header, const std::u16string& folder) {
  TextCopy(header->folder, FS_STREAM_FOLDER_CHARS, folder.c_str());
}

}  // namespace

TEST_F(FsDriverTest, FileLevelStreamWritesEveryValueAsStored) {
  FsStreamHeader header = FactoryHeader(FS_STREAM_FILES);
  header.flags = FS_STREAM_FLAG_FORMAT_TFAT;
  SetFolder(&header, u"Flash Store");
  // The source's class is not plain text; the copy is REG_SZ regardless.
  const std::u16string iclass = u"{A4E7EDDA-E575-4252-9D6B-4195D48BB865}";
  WriteValue(kBuiltInKey, u"IClass", REG_EXPAND_SZ, iclass.c_str(), static_cast<DWORD>((iclass.size() + 1) * 2));

  ASSERT_EQ(RegisterFlashDiskDriver(header), FWL_OK);

  for (const char16_t* name : kCopiedValues) {
    std::optional<RawValue> source = ReadValue(kBuiltInKey, name), copy = ReadValue(kRestoreKey, name);
    ASSERT_TRUE(source && copy) << Utf16ToUtf8(name);
    EXPECT_EQ(copy->bytes, source->bytes) << Utf16ToUtf8(name);
    EXPECT_EQ(copy->type, static_cast<DWORD>(REG_SZ)) << Utf16ToUtf8(name);
  }
  EXPECT_EQ(ReadValue(kRestoreKey, u"Order"), Dword(0));
  std::optional<RawValue> prefix = ReadValue(kRestoreKey, u"Prefix");
  ASSERT_TRUE(prefix);
  EXPECT_EQ(prefix->bytes.size(), 6u);
  EXPECT_EQ(*prefix, Text(u"DSK", false));
  for (const char16_t* name : kGeometryValues) {
    EXPECT_EQ(ReadValue(kRestoreKey, name), ReadValue(kBuiltInKey, name)) << Utf16ToUtf8(name);
  }
  EXPECT_EQ(ReadValue(kProfileKey, u"Folder"), Text(u"Flash Store", false));
  EXPECT_EQ(ReadValue(kProfileKey, u"AutoMount"), Dword(0));
  EXPECT_EQ(ReadValue(kProfileFatKey, u"FormatTfat"), Dword(1));
}

// "Unknown" is the module's own: our instance gets the running driver's
// value, or it would not find its flash.
TEST_F(FsDriverTest, SectorLevelStreamTakesTheModulesOwnGeometryAndSkipsTheFileSystemValues) {
  FsStreamHeader header = FactoryHeader(FS_STREAM_SECTORS);
  header.memBase = FS_STREAM_VALUE_UNKNOWN;
  header.blockSize = FS_STREAM_VALUE_UNKNOWN;
  header.flags = FS_STREAM_FLAG_FORMAT_TFAT;
  SetFolder(&header, u"Elsewhere");
  std::optional<RawValue> folderBefore = ReadValue(kProfileKey, u"Folder");
  std::optional<RawValue> autoMountBefore = ReadValue(kProfileKey, u"AutoMount");

  ASSERT_EQ(RegisterFlashDiskDriver(header), FWL_OK);

  EXPECT_EQ(ReadValue(kRestoreKey, u"MemBase"), ReadValue(kBuiltInKey, u"MemBase"));
  EXPECT_EQ(ReadValue(kRestoreKey, u"BlockSize"), ReadValue(kBuiltInKey, u"BlockSize"));
  EXPECT_EQ(ReadValue(kRestoreKey, u"MemLen"), Dword(header.memLen));
  EXPECT_EQ(ReadValue(kRestoreKey, u"SectorSize"), Dword(header.sectorSize));
  EXPECT_EQ(ReadValue(kProfileKey, u"Folder"), folderBefore);
  EXPECT_EQ(ReadValue(kProfileKey, u"AutoMount"), Dword(0));
  EXPECT_EQ(ReadValue(kProfileFatKey, u"FormatTfat"), Dword(kFactoryFormatTfat));
  // The clean-up leaves the profile as the registration found it.
  ASSERT_EQ(UnregisterFlashDiskDriver(), FWL_OK);
  EXPECT_EQ(ReadValue(kProfileKey, u"AutoMount"), autoMountBefore);
}

TEST_F(FsDriverTest, FolderFillingItsFieldIsWrittenWithoutReadingPastIt) {
  FsStreamHeader header = FactoryHeader(FS_STREAM_FILES);
  for (WCHAR& c : header.folder) c = u'F';  // no terminator inside the field
  ASSERT_EQ(RegisterFlashDiskDriver(header), FWL_OK);
  EXPECT_EQ(ReadValue(kProfileKey, u"Folder"), Text(std::u16string(FS_STREAM_FOLDER_CHARS, u'F'), false));
  EXPECT_EQ(ReadValue(kProfileFatKey, u"FormatTfat"), Dword(0));
}

TEST_F(FsDriverTest, ValuesComeFromTheBlockDeviceKeyWhenTheBuiltInOneIsMissing) {
  FsStreamHeader header = FactoryHeader(FS_STREAM_SECTORS);
  RemoveKey(kBuiltInKey);
  ASSERT_EQ(RegisterFlashDiskDriver(header), FWL_ERR_FS_DRIVER);
  EXPECT_FALSE(KeyExists(kRestoreKey));

  WriteText(kBlockDeviceKey, u"Dll", u"otherdisk.dll");
  WriteText(kBlockDeviceKey, u"Profile", u"FlashDisk");
  WriteText(kBlockDeviceKey, u"IClass", u"{A4E7EDDA-E575-4252-9D6B-4195D48BB865}");
  ASSERT_EQ(RegisterFlashDiskDriver(header), FWL_OK);
  EXPECT_EQ(ReadValue(kRestoreKey, u"Dll"), Text(u"otherdisk.dll", true));
}

TEST_F(FsDriverTest, MissingSourceValueOrProfileKeysFailTheRegistration) {
  FsStreamHeader files = FactoryHeader(FS_STREAM_FILES);
  RemoveValue(kBuiltInKey, u"IClass");
  EXPECT_EQ(RegisterFlashDiskDriver(files), FWL_ERR_FS_DRIVER);
  // What could be written stays until the clean-up.
  EXPECT_TRUE(ReadValue(kRestoreKey, u"Dll"));
  EXPECT_TRUE(ReadValue(kRestoreKey, u"MemBase"));
  WriteText(kBuiltInKey, u"IClass", u"{A4E7EDDA-E575-4252-9D6B-4195D48BB865}");

  RemoveKey(kProfileFatKey);
  EXPECT_EQ(RegisterFlashDiskDriver(files), FWL_ERR_FS_DRIVER);
  EXPECT_EQ(RegisterFlashDiskDriver(FactoryHeader(FS_STREAM_SECTORS)), FWL_OK);

  // The profile key is opened, never created.
  RemoveKey(kProfileKey);
  EXPECT_EQ(RegisterFlashDiskDriver(FactoryHeader(FS_STREAM_SECTORS)), FWL_ERR_FS_DRIVER);
  EXPECT_FALSE(KeyExists(kProfileKey));
}

TEST_F(FsDriverTest, ProfileNameLongerThanItsBufferFailsCleanly) {
  const std::u16string longName(40, u'P');
  WriteText(kBuiltInKey, u"Profile", longName);
  WriteDword((std::u16string(u"System\\StorageManager\\Profiles\\") + longName).c_str(), u"AutoMount", 1);
  EXPECT_EQ(RegisterFlashDiskDriver(FactoryHeader(FS_STREAM_SECTORS)), FWL_ERR_FS_DRIVER);
  EXPECT_FALSE(ReadValue(kRestoreKey, u"Profile"));
}

TEST_F(FsDriverTest, UnregisterRemovesExactlyTheValuesItWrote) {
  FsStreamHeader header = FactoryHeader(FS_STREAM_FILES);
  header.memLen = FS_STREAM_VALUE_UNKNOWN;
  SetFolder(&header, u"Restored");
  WriteDword(kRestoreKey, u"Index", 4);  // somebody else's value
  std::optional<RawValue> folder = ReadValue(kProfileKey, u"Folder");
  std::optional<RawValue> autoMount = ReadValue(kProfileKey, u"AutoMount");
  ASSERT_EQ(RegisterFlashDiskDriver(header), FWL_OK);

  EXPECT_EQ(UnregisterFlashDiskDriver(), FWL_OK);
  EXPECT_TRUE(KeyExists(kRestoreKey));
  for (const char16_t* name :
       {u"Dll", u"Profile", u"IClass", u"Order", u"Prefix", u"MemBase", u"MemLen", u"BlockSize", u"SectorSize"}) {
    EXPECT_FALSE(ReadValue(kRestoreKey, name)) << Utf16ToUtf8(name);
  }
  EXPECT_EQ(ReadValue(kRestoreKey, u"Index"), Dword(4));
  // The profile is put back as the registration found it: left at
  // AutoMount 0, the module's programs would lose the flash disk.
  EXPECT_EQ(ReadValue(kProfileKey, u"Folder"), folder);
  EXPECT_EQ(ReadValue(kProfileKey, u"AutoMount"), autoMount);

  RemoveKey(kRestoreKey);
  EXPECT_EQ(UnregisterFlashDiskDriver(), FWL_OK);
  EXPECT_FALSE(KeyExists(kRestoreKey));
}
