// The running image's version from the board and its date from \windows.
#include <gtest/gtest.h>

#include "fwlib/version.h"
#include "platform/datetime.h"
#include "tests/version/version_fixture.h"

namespace {

using ImageVersionTest = VersionTest;

TEST_F(ImageVersionTest, BoardVersionAndTheNlsFileDate) {
  Attach({"bsp.image_family=7", "bsp.image_major=5", "bsp.image_minor=2", "bsp.image_build=9"});
  Image();
  EXPECT_EQ(version_, Version(7, 5, 2, 9));
  EXPECT_EQ(date_, "05 Mar 2009 14:03:07 (GMT)");
}

TEST_F(ImageVersionTest, DatedByTheFirstFileThatOpens) {
  Attach();
  RemoveWindowsFile("wince.nls");
  PutWindowsFile("initobj.dat", {2013, 1, 2, 3, 4, 5});
  PutWindowsFile("default.hv", {2012, 6, 7, 8, 9, 10});
  Image();
  EXPECT_EQ(date_, "07 Jun 2012 8:09:10 (GMT)");
  PutWindowsFile("default.fdf", {2014, 12, 31, 23, 59, 58});
  Image();
  EXPECT_EQ(date_, "31 Dec 2014 23:59:58 (GMT)");

  for (const char* name : {"default.fdf", "default.hv", "initobj.dat"}) RemoveWindowsFile(name);
  Image();
  EXPECT_EQ(date_, "Unknown Date");
}

TEST_F(ImageVersionTest, TimeTooLongForItsPlaceIsNotCut) {
  Attach();
  // Well past the 64 units the time may take.
  ASSERT_TRUE(DateTimeSetLocalePicture(LocalePicture::Time, u"HH:mm:ss HH:mm:ss HH:mm:ss HH:mm:ss HH:mm:ss "
                                                            u"HH:mm:ss HH:mm:ss HH:mm:ss HH:mm"));
  Image();
  EXPECT_EQ(date_, "Unknown Date");
}

}  // namespace
