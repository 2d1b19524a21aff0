#pragma once
// Gives each test its own registry, runtime and data folders, so tests never see each
// other's state or the user's real settings.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

namespace testsupport {

// A fresh folder, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Base fixture: sets ZEVA_REGISTRY_DIR, ZEVA_RUNTIME_DIR and ZEVA_DATA_DIR (and TMPDIR)
// to folders of its own for the duration of each test.
class ZevaTest : public ::testing::Test {
 protected:
  ZevaTest();
  ~ZevaTest() override;
  const std::string& registryDir() const { return registry_.path(); }
  const std::string& runtimeDir() const { return runtime_.path(); }
  const std::string& dataDir() const { return data_.path(); }
  const std::string& tempDir() const { return temp_.path(); }

 private:
  TempDir registry_, runtime_, data_, temp_;
  struct Saved;
  std::unique_ptr<Saved> saved_;
};

// Reads a whole file ("" when missing).
std::string readFile(const std::string& path);
// Writes a whole file, creating or replacing it.
void writeFile(const std::string& path, const std::string& contents);

// Makes a FIFO at `path` (a file that hangs a reader that opens it blocking).
void makeFifo(const std::string& path);
// Runs `reader`, which must not hang on the FIFO at `fifo`: false when it did not end
// within 10 s (the FIFO is then opened for writing and closed, to free the reader).
bool endsWithoutAWriter(const std::function<void()>& reader, const std::string& fifo);
// Runs `writer`, which must not hang on the FIFO at `fifo`: false when it did not end
// within 10 s (the FIFO is then opened for reading and drained until the writer ends).
bool endsWithoutAReader(const std::function<void()>& writer, const std::string& fifo);

}  // namespace testsupport
