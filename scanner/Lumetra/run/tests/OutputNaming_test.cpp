#include "run/OutputNaming.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "RunFixture.h"
#include "platform/com.h"

namespace {

namespace fs = std::filesystem;

class FakeHost : public INamingHost {
 public:
  std::string ReadInstrumentSerialNumber() override {
    ++serialReads;
    if (serialFails)
      throw platform::com::ComError(static_cast<platform::com::HRESULT>(0x8004025Bu), "No reply.");
    return instrumentSerial;
  }
  std::string& GetSerialNumberText() override { return serial; }
  bool IsSlotTwoPass() const override { return twoPass; }
  bool UseTwoPassSuffixes() const override { return suffixes; }
  void SendStatusLine(const std::string& text, int kind) override { lines.emplace_back(text, kind); }

  std::string serial;
  std::string instrumentSerial = "K7431B-0042";
  bool serialFails = false;
  int serialReads = 0;
  bool twoPass = false;
  bool suffixes = true;
  std::vector<std::pair<std::string, int>> lines;
};

class OutputNamingTest : public RunTest {
 protected:
  OutputNamingTest() : naming_(host_) {}

  void Configure(const std::string& folder, const std::string& t1, const std::string& t2) {
    naming_.SetStringParams(folder, "desc", "operator", t1, t2, "<Scan #>", "", t1 == kTemplateSlideId);
  }
  std::string scans() const { return tempDir() + "/Scans"; }
  void touch(const std::string& path) const { testsupport::writeFile(path, "x"); }

  FakeHost host_;
  COutputNaming naming_;
};

TEST_F(OutputNamingTest, BarcodeAndSlotNameInAFolderThatIsCreated) {
  Configure(scans() + "//", kTemplateSlideId, kTemplateSlot);
  std::string comment = "kept";
  EXPECT_EQ(naming_.GetBatchFileName(true, "US12345678", 5, &comment),
            scans() + "/US12345678_SLOT05_S01.tif");
  EXPECT_EQ(naming_.m_strOutputFolder, scans());
  EXPECT_EQ(comment, "kept");
  EXPECT_TRUE(fs::is_directory(scans()));
  EXPECT_TRUE(fs::is_empty(scans()));  // the creation test leaves nothing behind
  EXPECT_TRUE(logged("WARNING: Specified output folder '" + scans() +
                     "//' does not exist!  Try to create it for "
                     "the scan..."));
  EXPECT_TRUE(host_.lines.empty());
}

TEST_F(OutputNamingTest, TemplatesMakeTheNameParts) {
  fs::create_directories(scans());
  struct Case {
    const char* t1;
    const char* t2;
    bool hasBarcode;
    const char* barcode;
    int slot;
    const char* name;
  } cases[] = {
      {"<Slide ID>", "<Slot #>", true, "US1", 5, "US1_SLOT05_S01.tif"},
      {"<Slide ID>", "<Slide ID>", true, "US1", 5, "US1_US1_S01.tif"},
      {"<Slide ID>", "<Slot #>", false, "US1", 5, "SLOT05_SLOT05_S01.tif"},
      {"<Slide ID>", "<Slot #>", true, "", 7, "SLOT07_SLOT07_S01.tif"},
      {"<Slot #>", "<Scan DateTime>", true, "US1", 12, "SLOT12_202403051407_S01.tif"},
      {"<Scan DateTime>", "<Slot #>", false, "", 123, "<Scan DateTime>_SLOT123_S01.tif"},
      {"RunA_", "<Slot #>", false, "", 1, "RunA_SLOT01_S01.tif"},
      {"RunA", "Lit_", false, "", 1, "RunA_Lit_S01.tif"},
      {"", "", false, "", 1, "S01.tif"},
      {"", "<Slot #>", false, "", 0, "SLOT00_S01.tif"},
      {"<Slide ID>", "", true, "AB..CD with space \xC2\xB5", 2, "AB..CD with space \xC2\xB5_S01.tif"},
  };
  for (const auto& c : cases) {
    Configure(scans(), c.t1, c.t2);
    std::string comment;
    EXPECT_EQ(naming_.GetBatchFileName(c.hasBarcode, c.barcode, c.slot, &comment), scans() + "/" + c.name)
        << c.t1 << " " << c.t2 << " " << c.barcode;
  }
  EXPECT_TRUE(host_.lines.empty());
}

TEST_F(OutputNamingTest, TakenNumbersAreSkipped) {
  Configure(scans(), kTemplateSlideId, kTemplateSlot);
  fs::create_directories(scans());
  const std::string base1 = scans() + "/US1_SLOT05_S01";
  for (const char* taken : {".tif", ".tiff", "_Red.tif", "_Red.tiff", "_Green.tif", "_H.tiff", "_L.tif"}) {
    touch(base1 + taken);
    std::string comment;
    EXPECT_EQ(naming_.GetBatchFileName(true, "US1", 5, &comment), scans() + "/US1_SLOT05_S02.tif") << taken;
    fs::remove(base1 + taken);
  }
  // Other names do not count, and a folder of the name is no image.
  touch(base1 + "_Blue.tif");
  touch(base1 + ".tif.bak");
  fs::create_directory(base1 + "_Red.tif");
  std::string comment;
  EXPECT_EQ(naming_.GetBatchFileName(true, "US1", 5, &comment), scans() + "/US1_SLOT05_S01.tif");
}

TEST_F(OutputNamingTest, TwoPassNamesHaveNoExtension) {
  Configure(scans(), kTemplateSlot, "");
  fs::create_directories(scans());
  host_.twoPass = true;
  std::string comment;
  host_.suffixes = true;
  EXPECT_EQ(naming_.GetBatchFileName(false, "", 3, &comment), scans() + "/SLOT03_S01");
  host_.suffixes = false;
  EXPECT_EQ(naming_.GetBatchFileName(false, "", 3, &comment), scans() + "/SLOT03_S01");
  EXPECT_TRUE(fs::is_empty(scans()));

  // The "_L" file of the first free number cannot be created: no slot-numbered retry
  // without a barcode.
  host_.suffixes = true;
  fs::create_directory(scans() + "/SLOT03_S01_L.tif");
  EXPECT_EQ(naming_.GetBatchFileName(false, "", 3, &comment), "");
  EXPECT_TRUE(logged("INFO: GetBatchFileName: Got an invaled file name '" + scans() + "/SLOT03_S01'."));
}

TEST_F(OutputNamingTest, BarcodeNamingThatFailsFallsBackToSlotNumbering) {
  Configure(scans(), kTemplateSlideId, kTemplateSlot);
  fs::create_directories(scans());
  // The barcode's name cannot be created (a folder holds it); slot numbering can.
  fs::create_directory(scans() + "/US1_SLOT05_S01.tif");
  std::string comment = "before";
  const std::string name = naming_.GetBatchFileName(true, "US1", 5, &comment);
  EXPECT_EQ(name, scans() + "/SLOT05_SLOT05_S01.tif");
  const std::string message = "Invalid filename '" + scans() + "/US1_SLOT05_S01.tif', replaced by '" + name +
                              "' (defaulting to slot numbering).\r\n";
  EXPECT_EQ(comment, message);
  ASSERT_EQ(host_.lines.size(), 1u);
  EXPECT_EQ(host_.lines[0], std::make_pair(message, 3));
  EXPECT_TRUE(
      logged("INFO: GetBatchFileName: Failed to generate the file name by the barcode numbering , try to "
             "using the slot numbering"));

  // A barcode far too long for a file name takes the same road.
  const std::string longBarcode(300, 'B');
  EXPECT_EQ(naming_.GetBatchFileName(true, longBarcode, 5, &comment), name);
  EXPECT_EQ(host_.lines.size(), 2u);
}

TEST_F(OutputNamingTest, MalformedBarcodesNeverNameAPathOutsideTheFolder) {
  Configure(scans(), kTemplateSlideId, kTemplateSlot);
  fs::create_directories(scans() + "/sub");
  const char* barcodes[] = {
      "../x", "../../etc/passwd", "sub/x",       "..",     ".", "A:B", "A*B", "A?B", "A\"B", "A<B>", "A|B",
      "A\\B", "bad\x01",          "line\r\nend", "del\x7f"};
  for (const char* barcode : barcodes) {
    host_.lines.clear();
    std::string comment;
    const std::string name = naming_.GetBatchFileName(true, barcode, 5, &comment);
    EXPECT_EQ(name, scans() + "/SLOT05_SLOT05_S01.tif") << barcode;
    const std::string failed = scans() + "/" + barcode + "_SLOT05_S01.tif";
    EXPECT_EQ(comment, "Invalid filename '" + failed + "', replaced by '" + name +
                           "' (defaulting to slot numbering).\r\n")
        << barcode;
    EXPECT_EQ(host_.lines.size(), 1u) << barcode;
  }
  // Nothing was created anywhere, the folder's neighbours and sub-folders included.
  EXPECT_TRUE(fs::is_empty(scans() + "/sub"));
  EXPECT_FALSE(fs::exists(tempDir() + "/x_SLOT05_S01.tif"));
  EXPECT_EQ(std::distance(fs::directory_iterator(scans()), fs::directory_iterator()), 1);

  // Without slide-identifier naming the barcode is not used, so it does not matter.
  Configure(scans(), kTemplateSlot, "Lit");
  host_.lines.clear();
  std::string comment;
  EXPECT_EQ(naming_.GetBatchFileName(true, "../x", 5, &comment), scans() + "/SLOT05_Lit_S01.tif");
  EXPECT_TRUE(host_.lines.empty());
}

TEST_F(OutputNamingTest, AllNumbersTaken) {
  fs::create_directories(scans());
  for (int n = 1; n <= kMaxScanNumber; ++n) {
    char name[64];
    std::snprintf(name, sizeof name, "/US1_SLOT05_S%.2d.tif", n);
    touch(scans() + name);
  }
  Configure(scans(), kTemplateSlideId, kTemplateSlot);
  std::string comment;
  // Slot numbering is still free.
  const std::string name = naming_.GetBatchFileName(true, "US1", 5, &comment);
  EXPECT_EQ(name, scans() + "/SLOT05_SLOT05_S01.tif");
  EXPECT_EQ(comment, "Invalid filename '" + scans() + "/US1_SLOT05_S999', replaced by '" + name +
                         "' (defaulting to slot numbering).\r\n");
  EXPECT_TRUE(logged("INFO: GetBatchFileName: Auto naming exceed the max number '999'."));

  // Without a barcode there is no second try.
  Configure(scans(), "US1", kTemplateSlot);
  EXPECT_EQ(naming_.GetBatchFileName(false, "", 5, &comment), "");
  touch(scans() + "/US1_SLOT06_S999.tif");
  EXPECT_EQ(naming_.GetBatchFileName(false, "", 6, &comment), scans() + "/US1_SLOT06_S01.tif");
}

TEST_F(OutputNamingTest, FolderChecks) {
  fs::create_directories(scans());
  touch(tempDir() + "/file");
  struct Case {
    std::string folder;
    bool create;
    bool ok;
    std::string line;  // a line the log must hold ("" for none in particular)
  } cases[] = {
      {"", true, false, "ERROR: The output folder has not been defined yet!"},
      {"Scans/Today", true, false,
       "ERROR: Invalid drive name specified in the output folder path 'Scans/Today'"},
      {"\\\\server\\share", true, false,
       "ERROR: Invalid drive name specified in the output folder path '\\\\server\\share'"},
      {"/", false, true, ""},
      {scans() + "///", false, true, ""},
      {"/" + scans(), false, true,
       "DEBUG(1): <CheckOutputFolder> Specified output folder '/" + scans() +
           "' is an explicit shared folder pathe"},
      {"//server/share", false, false, "ERROR: Specified output folder '//server/share' does not exist!"},
      {tempDir() + "/missing", false, false,
       "ERROR: Specified output folder '" + tempDir() + "/missing' does not exist!"},
      {tempDir() + "/file/sub", true, false,
       "ERROR: Failed to access specified output folder '" + tempDir() + "/file/sub'"},
      {tempDir() + "/new/deep/", true, true,
       "WARNING: Specified output folder '" + tempDir() +
           "/new/deep/' does not exist!  Try to create it for the scan..."},
      {"/proc/zeva-no-such/x", true, false,
       "ERROR: Failed to create folder '/proc/zeva-no-such/x': system error code = 2"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(COutputNaming::CheckOutputFolder(c.folder, c.create), c.ok) << c.folder;
    if (!c.line.empty()) {
      EXPECT_TRUE(logged(c.line)) << c.folder << "\n" << log();
    }
  }
  EXPECT_TRUE(fs::is_directory(tempDir() + "/new/deep"));
  EXPECT_TRUE(
      logged("DEBUG(1): <CheckOutputFolder> Folder '" + tempDir() + "/file/sub' stat error: errCode = 20"));
  EXPECT_FALSE(fs::exists("/server"));

  // Naming in a folder that cannot be had gives no name and nothing more.
  Configure("relative/folder", kTemplateSlideId, kTemplateSlot);
  std::string comment;
  EXPECT_EQ(naming_.GetBatchFileName(true, "US1", 5, &comment), "");
  EXPECT_TRUE(host_.lines.empty());
}

TEST_F(OutputNamingTest, FileTests) {
  fs::create_directories(scans() + "/dir.tif");
  touch(scans() + "/a.tiff");
  EXPECT_TRUE(IsExistingFile((scans() + "/a.tiff").c_str()));
  EXPECT_FALSE(IsExistingFile((scans() + "/dir.tif").c_str()));
  EXPECT_FALSE(IsExistingFile(""));
  EXPECT_FALSE(IsExistingFile(nullptr));
  EXPECT_TRUE(IsExistingTiffFile(scans() + "/a"));
  EXPECT_FALSE(IsExistingTiffFile(scans() + "/dir"));

  EXPECT_TRUE(IsCreatableFile((scans() + "/a.tiff").c_str()));
  EXPECT_EQ(testsupport::readFile(scans() + "/a.tiff"), "x");  // an existing file is not touched
  EXPECT_TRUE(IsCreatableFile((scans() + "/new.tif").c_str()));
  EXPECT_FALSE(fs::exists(scans() + "/new.tif"));
  EXPECT_FALSE(IsCreatableFile((scans() + "/dir.tif").c_str()));
  EXPECT_FALSE(IsCreatableFile((scans() + "/none/x.tif").c_str()));
}

TEST_F(OutputNamingTest, SerialNumberTemplate) {
  struct Case {
    const char* known;
    const char* instrument;
    bool fails;
    int reads;
    const char* serial;
    const char* template1;
  } cases[] = {
      {"", "K7431B-0042", false, 1, "K7431B-0042", "K7431B-0042"},
      {"Unknown", "SN/1", false, 1, "SN/1", "SN_1"},
      {"K-9", "other", false, 0, "K-9", "K-9"},
      {"../up", "other", false, 0, "../up", ".._up"},
      {"", "", true, 1, "UNKNOWN", "UNKNOWN"},
  };
  for (const auto& c : cases) {
    host_.serial = c.known;
    host_.instrumentSerial = c.instrument;
    host_.serialFails = c.fails;
    host_.serialReads = 0;
    naming_.SetStringParams("/out", "desc", "op", kTemplateSerialNumber, "<Scan DateTime>", "<Scan #>",
                            "comment", false);
    EXPECT_EQ(host_.serialReads, c.reads) << c.known;
    EXPECT_EQ(host_.serial, c.serial) << c.known;
    EXPECT_EQ(naming_.m_strNamingTemplate1, c.template1) << c.known;
  }
  EXPECT_TRUE(
      logged("ERROR: SetStringParams: Failed to get scanner's serial number - Description: No reply."));
  EXPECT_EQ(naming_.m_strNamingTemplate2, "<Scan DateTime>");
  EXPECT_EQ(naming_.m_strOutputFolder, "/out");
  EXPECT_EQ(naming_.m_strScanDescription, "desc");
  EXPECT_EQ(naming_.m_strOperatorName, "op");
  EXPECT_EQ(naming_.m_strScanNumberToken, "<Scan #>");
  EXPECT_EQ(naming_.m_strScanComment, "comment");
  EXPECT_FALSE(naming_.m_bAutoNaming);

  // Any other first template is kept as given.
  host_.serialReads = 0;
  naming_.SetStringParams("/out", "", "", "<Instrument Serial #> ", "", "", "", true);
  EXPECT_EQ(naming_.m_strNamingTemplate1, "<Instrument Serial #> ");
  EXPECT_EQ(host_.serialReads, 0);
  EXPECT_TRUE(naming_.m_bAutoNaming);
}

}  // namespace
