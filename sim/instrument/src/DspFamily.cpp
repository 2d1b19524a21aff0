#include <sstream>

#include "FamilyUtil.h"
#include "zevasim/DeviceFamilies.h"

namespace zevasim {

using namespace detail;

namespace {
constexpr std::uint32_t kDataSpace = 1;
constexpr std::size_t kDownloadHeader = 25;

// A command whose line is followed by binary data: its first line split into words, and
// the bytes after the line feed.
struct SplitPayload {
  std::vector<std::string> words;
  std::string data;
};
std::optional<SplitPayload> split(const Request& r) {
  const std::string payload(r.payload.begin(), r.payload.end());
  const auto lf = payload.find('\n');
  if (lf == std::string::npos) return std::nullopt;
  SplitPayload s;
  std::istringstream line(payload.substr(0, lf));
  for (std::string w; line >> w;) s.words.push_back(w);
  s.data = payload.substr(lf + 1);
  return s;
}

bool validDsp(std::uint32_t id) { return id >= 1 && id <= 3; }
}  // namespace

std::uint16_t DspFamily::memory(unsigned dspId, unsigned space, std::uint32_t address) const {
  std::lock_guard lock(mutex_);
  const auto it = memory_.find({dspId, space, address});
  return it == memory_.end() ? 0 : it->second;
}

void DspFamily::setMemory(unsigned dspId, unsigned space, std::uint32_t address, std::uint16_t value) {
  std::lock_guard lock(mutex_);
  memory_[{dspId, space, address}] = value;
}

void DspFamily::setLastResult(std::int32_t result) {
  std::lock_guard lock(mutex_);
  lastResult_ = result;
}

void DspFamily::setResponse(std::int32_t response, int pendingPolls) {
  std::lock_guard lock(mutex_);
  response_ = response;
  pendingPolls_ = pendingPolls;
}

void DspFamily::setVCDumpInfo(std::vector<std::uint32_t> values) {
  std::lock_guard lock(mutex_);
  vcDump_ = std::move(values);
}

std::vector<DspFamily::Command> DspFamily::commands() const {
  std::lock_guard lock(mutex_);
  return commands_;
}

std::vector<DspFamily::Download> DspFamily::downloads() const {
  std::lock_guard lock(mutex_);
  return downloads_;
}

int DspFamily::responsePolls() const {
  std::lock_guard lock(mutex_);
  return responsePolls_;
}

void DspFamily::registerCommands(Instrument& in) {
  // Hexadecimal arguments, all required.
  auto hexArgs = [](const Request& r, std::size_t n) -> std::optional<std::vector<std::uint32_t>> {
    if (r.args.size() != n) return std::nullopt;
    std::vector<std::uint32_t> v;
    for (const auto& a : r.args) {
      const auto x = platform::parseHexNumber(a);
      if (!x) return std::nullopt;
      v.push_back(*x);
    }
    return v;
  };

  in.setHandler("dsppoke", [this, hexArgs](const Request& r) {
    const auto a = hexArgs(r, 4);
    if (!a || !validDsp((*a)[0]) || (*a)[3] > 0xFFFF) return bad();
    setMemory((*a)[0], (*a)[1], (*a)[2], static_cast<std::uint16_t>((*a)[3]));
    return Reply::ok();
  });
  in.setHandler("dsppeek", [this, hexArgs](const Request& r) {
    const auto a = hexArgs(r, 3);
    if (!a || !validDsp((*a)[0])) return bad();
    return Reply::ok(hex(memory((*a)[0], (*a)[1], (*a)[2])));
  });
  in.setHandler("dmr", [this, hexArgs](const Request& r) {
    const auto a = hexArgs(r, 2);
    if (!a || !validDsp((*a)[0])) return bad();
    return Reply::ok(hex(memory((*a)[0], kDataSpace, (*a)[1])));
  });
  in.setHandler("dmw", [this, hexArgs](const Request& r) {
    const auto a = hexArgs(r, 3);
    if (!a || !validDsp((*a)[0]) || (*a)[2] > 0xFFFF) return bad();
    setMemory((*a)[0], kDataSpace, (*a)[1], static_cast<std::uint16_t>((*a)[2]));
    return Reply::ok();
  });
  in.setHandler("dspmemdump", [this, hexArgs](const Request& r) {
    const auto a = hexArgs(r, 3);
    if (!a || !validDsp((*a)[0]) || (*a)[2] > 0x8000) return bad();
    std::string bytes;
    for (std::uint32_t i = 0; i < (*a)[2]; ++i) putLE16(bytes, memory((*a)[0], kDataSpace, (*a)[1] + i));
    return rawReply(bytes);
  });
  in.setHandler("dmwmulti", [this](const Request& r) {
    const auto s = split(r);
    if (!s || s->words.size() != 4) return bad();
    const auto dsp = platform::parseHexNumber(s->words[1]);
    const auto start = platform::parseHexNumber(s->words[2]);
    const auto count = platform::parseHexNumber(s->words[3]);
    if (!dsp || !start || !count || !validDsp(*dsp)) return bad();
    std::istringstream words(s->data);
    std::vector<std::uint16_t> values;
    for (std::string w; words >> w;) {
      const auto v = number(w);
      if (!v || *v < 0 || *v > 0xFFFF) return bad();
      values.push_back(static_cast<std::uint16_t>(*v));
    }
    if (values.size() != *count) return bad();
    for (std::uint32_t i = 0; i < *count; ++i) setMemory(*dsp, kDataSpace, *start + i, values[i]);
    return Reply::ok();
  });
  in.setHandler("getlastdspresult", [this](const Request&) {
    std::lock_guard lock(mutex_);
    return Reply::ok(hex(static_cast<std::uint32_t>(lastResult_)));
  });
  in.setHandler("sdsp", [this](const Request& r) {
    const auto s = split(r);
    if (!s || s->words.size() != 3) return bad();
    const auto cmd = platform::parseHexNumber(s->words[1]);
    const auto n = platform::parseHexNumber(s->words[2]);
    if (!cmd || !n || s->data.size() != *n * 2) return bad();
    Command c{*cmd, {}};
    for (std::size_t i = 0; i + 1 < s->data.size(); i += 2)
      c.params.push_back(static_cast<std::uint16_t>(static_cast<std::uint8_t>(s->data[i]) |
                                                    (static_cast<std::uint8_t>(s->data[i + 1]) << 8)));
    std::lock_guard lock(mutex_);
    commands_.push_back(std::move(c));
    remainingPolls_ = pendingPolls_;
    return Reply::ok();
  });
  in.setHandler("gdsp", [this](const Request&) {
    std::lock_guard lock(mutex_);
    ++responsePolls_;
    if (remainingPolls_ > 0) {
      --remainingPolls_;
      return Reply::ok(hex(0xFFFFFFFFu));
    }
    return Reply::ok(hex(static_cast<std::uint32_t>(response_)));
  });
  in.setHandler("DownLoadDSP", [this](const Request& r) {
    if (r.payload.size() < kDownloadHeader || r.payload[kDownloadHeader - 1] != '\n') return bad();
    std::istringstream header(std::string(r.payload.begin(), r.payload.begin() + kDownloadHeader - 1));
    std::string word, id, size;
    header >> word >> id >> size;
    const auto dsp = platform::parseHexNumber(id);
    const auto bytes = platform::parseHexNumber(size);
    if (!dsp || !bytes || !validDsp(*dsp) || *bytes != r.payload.size() - kDownloadHeader) return bad();
    std::lock_guard lock(mutex_);
    downloads_.push_back(
        {*dsp, std::vector<std::uint8_t>(r.payload.begin() + kDownloadHeader, r.payload.end())});
    return Reply::ok();
  });
  in.setHandler("getvcdumpinfo", [this](const Request& r) {
    const auto dsp = r.args.size() == 1 ? number(r.args[0]) : std::nullopt;
    if (!dsp || *dsp < 1 || *dsp > 3) return bad();
    std::lock_guard lock(mutex_);
    std::string values;
    for (std::size_t i = 0; i < vcDump_.size(); ++i) values += (i ? "," : "") + hex(vcDump_[i]);
    return Reply::ok(values);
  });
}

}  // namespace zevasim
