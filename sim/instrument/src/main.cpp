// zevasim: the simulated instrument as a program, for the demo and for trying the
// system by hand. Serves on a loopback port until SIGINT or SIGTERM.
#include <pthread.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dynlib.h"
#include "platform/net.h"
#include "zevasim/DeviceFamilies.h"
#include "zevasim/SimInstrument.h"
#include "zevasim/SimUdp.h"

namespace {

const char* const kUsage =
    "Usage: zevasim [options]\n"
    "A simulated scanner instrument: the controller's TCP command service on a loopback\n"
    "port. It answers \"peek\", \"poke\" and \"boot\" (and restarts after \"boot\"), the\n"
    "device commands (FLASH store, motors, autoloader, door, barcodes, DSPs, scans, versions),\n"
    "and logs every command line it receives.\n"
    "\n"
    "Options:\n"
    "  --port N            TCP port to serve (default 0: any free port, printed at start;\n"
    "                      a name such as vrelinstr is looked up in the services file)\n"
    "  --address A         loopback address to serve on (default 127.0.0.1; only\n"
    "                      127.0.0.0/8 is accepted)\n"
    "  --serial S          serial number (default ZS000001)\n"
    "  --type N            instrument type byte (default 1)\n"
    "  --log FILE          append every received command line to FILE\n"
    "  --request-log N     keep the last N received commands in memory (default 10000)\n"
    "  --announce ADDRESS  speak UDP too: announce the instrument to the connection manager\n"
    "                      at ADDRESS (loopback) on the \"vrelevent\" port of the services\n"
    "                      file, answer its identify requests, take laser and abort requests;\n"
    "                      the instrument needs an address of its own (--address 127.0.0.2)\n"
    "  --port assigned     with --announce: serve the TCP port the manager hands out\n"
    "  --ready             healthy supplies, motors initialised and homed, and a slide of\n"
    "                      the maker's thickness under the autofocus\n"
    "  --calibration-light FILE  keep FILE at \"1\" while the calibration light is on, else\n"
    "                      \"0\" (for a simulated board in another process)\n"
    "  --scan-file FILE    describe each scan in FILE as it starts (the slide's barcode and\n"
    "                      the region), for a simulated board in another process\n"
    "  --reboot-time MS    how long a reboot keeps the instrument away (default 0)\n"
    "  --flash FILE        seed the FLASH store with the \"KEY VALUE\" lines of FILE\n"
    "  --slide SLOT:CODE   put a slide with barcode CODE into carousel slot SLOT (1-48;\n"
    "                      an empty CODE: a slide without a readable barcode); may be\n"
    "                      given more than once\n"
    "  --nominal-supplies  report healthy supply voltages\n"
    "  --homed             start with every motor initialised and homed\n"
    "  --autofocus UM      the slide thickness the autofocus finds (micrometres)\n"
    "  --scan-lines N      after a scan's first line request, stream the status records\n"
    "                      of N lines (line number first) instead of the region's rows\n"
    "  --fault FAULT       misbehave on a command; FAULT is WORD:KIND[:VALUE[:TIMES]]\n"
    "                      WORD is a command word or * for every command; KIND is one of\n"
    "                        error         reply with status VALUE (hexadecimal)\n"
    "                        delay         reply VALUE ms late\n"
    "                        close         close the connection in the middle of the reply\n"
    "                        stale         send VALUE junk bytes after the reply\n"
    "                        bogus-length  reply with only a header whose length field is VALUE\n"
    "                        split         send the reply in pieces of VALUE bytes\n"
    "                        reboot        reboot after the reply (VALUE 1: onto a new port); with\n"
    "                                      --announce the manager is told the port and the boot\n"
    "                      TIMES is how many commands it hits (default 1, -1 for all).\n"
    "                      May be given more than once.\n"
    "  --version           show the version\n"
    "  --help              show this text\n"
    "\n"
    "Example: zevasim --port 0 --fault peek:delay:12000 --fault boot:reboot:1\n";

bool parseFault(const std::string& faultText, std::string& word, zevasim::Fault& fault) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const auto colon = faultText.find(':', start);
    parts.push_back(faultText.substr(start, colon - start));
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  if (parts.size() < 2 || parts.size() > 4 || parts[0].empty()) return false;
  const auto kind = zevasim::faultKindFromName(parts[1]);
  if (!kind) return false;
  word = parts[0];
  fault.kind = *kind;
  try {
    if (parts.size() > 2)
      fault.value = std::stol(parts[2], nullptr, *kind == zevasim::Fault::Kind::errorStatus ? 16 : 10);
    if (parts.size() > 3) fault.times = std::stoi(parts[3]);
  } catch (...) {
    return false;
  }
  return true;
}

// What fixes a failed UDP start: the reason itself was said where it happened.
constexpr const char* kUdpFix =
    "give the instrument an address of its own (--address 127.0.0.2), and the \"vrelevent\" udp port through "
    "ZEVA_SERVICES_FILE (or 'zevazodizo-setup'); start the connection manager first when the port is "
    "assigned";

// The cause is on stderr already (said where it happened); the fix and the exit code follow.
int cannotStart(const char* fix) {
  std::fprintf(stderr, "zevasim: cannot start; to fix it, %s\nzevasim: exit code 1\n", fix);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  zevasim::Options options;
  std::vector<std::pair<std::string, zevasim::Fault>> faults;
  std::string flashFile;
  std::vector<std::pair<int, std::string>> slides;
  bool nominalSupplies = false;
  bool homed = false;
  std::optional<double> autofocus;
  int scanLines = 0;
  std::string lightFile, scanFile;
  std::optional<std::uint32_t> announceTo;
  bool assignedPort = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "zevasim: %s needs a value\n%s", arg.c_str(), kUsage);
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--version") {
      std::printf("%s\n", platform::programVersionLine("zevasim").c_str());
      return 0;
    } else if (arg == "--port" && i + 1 < argc && std::string(argv[i + 1]) == "assigned") {
      ++i;
      assignedPort = true;
    } else if (arg == "--announce") {
      announceTo = platform::net::parseAddress(value());
      if (!announceTo || !platform::net::isLoopback(*announceTo)) {
        std::fprintf(stderr, "zevasim: --announce needs a loopback address (127.0.0.0/8)\n");
        return 2;
      }
    } else if (arg == "--port") {
      const std::string v = value();
      char* end = nullptr;
      const long n = std::strtol(v.c_str(), &end, 10);
      if (end && *end == '\0' && n >= 0 && n <= 65535) {
        options.port = static_cast<std::uint16_t>(n);
      } else if (auto p = platform::net::servicePort(v, "tcp")) {
        options.port = *p;
      } else {
        std::fprintf(stderr, "zevasim: bad port '%s'\n", v.c_str());
        return 2;
      }
    } else if (arg == "--address") {
      const auto a = platform::net::parseAddress(value());
      if (!a || !platform::net::isLoopback(*a)) {
        std::fprintf(stderr, "zevasim: --address must be a loopback address (127.0.0.0/8)\n");
        return 2;
      }
      options.address = *a;
    } else if (arg == "--serial") {
      options.serialNumber = value();
    } else if (arg == "--type") {
      options.type = static_cast<std::uint8_t>(std::atoi(value()));
    } else if (arg == "--log") {
      options.logPath = value();
    } else if (arg == "--request-log") {
      const long n = std::atol(value());
      if (n < 1) {
        std::fprintf(stderr, "zevasim: --request-log needs a count of 1 or more\n%s", kUsage);
        return 2;
      }
      options.requestLogSize = static_cast<std::size_t>(n);
    } else if (arg == "--flash") {
      flashFile = value();
    } else if (arg == "--slide") {
      const std::string v = value();
      const auto colon = v.find(':');
      const std::string slotText = colon == std::string::npos ? std::string() : v.substr(0, colon);
      char* end = nullptr;
      const long slot = std::strtol(slotText.c_str(), &end, 10);
      if (colon == std::string::npos || colon == 0 || !end || *end != '\0' || slot < 1 || slot > 48) {
        std::fprintf(stderr, "zevasim: bad slide '%s' (SLOT:CODE, SLOT 1-48)\n", v.c_str());
        return 2;
      }
      slides.emplace_back(static_cast<int>(slot), v.substr(colon + 1));
    } else if (arg == "--homed") {
      homed = true;
    } else if (arg == "--nominal-supplies") {
      nominalSupplies = true;
    } else if (arg == "--autofocus") {
      const std::string v = value();
      char* end = nullptr;
      const double um = std::strtod(v.c_str(), &end);
      if (!end || *end != '\0' || !(um > 0)) {
        std::fprintf(stderr, "zevasim: bad autofocus thickness '%s'\n", v.c_str());
        return 2;
      }
      autofocus = um;
    } else if (arg == "--scan-lines") {
      const std::string v = value();
      char* end = nullptr;
      const long n = std::strtol(v.c_str(), &end, 10);
      if (!end || *end != '\0' || n < 1 || n > 65535) {
        std::fprintf(stderr, "zevasim: bad line count '%s' (1-65535)\n", v.c_str());
        return 2;
      }
      scanLines = static_cast<int>(n);
    } else if (arg == "--ready") {
      nominalSupplies = homed = true;
      if (!autofocus) autofocus = 620.5;
    } else if (arg == "--calibration-light") {
      lightFile = value();
    } else if (arg == "--scan-file") {
      scanFile = value();
    } else if (arg == "--reboot-time") {
      options.rebootTime = std::chrono::milliseconds(std::atol(value()));
    } else if (arg == "--fault") {
      std::string word;
      zevasim::Fault fault;
      const std::string faultText = value();
      if (!parseFault(faultText, word, fault)) {
        std::fprintf(stderr, "zevasim: bad fault '%s'\n%s", faultText.c_str(), kUsage);
        return 2;
      }
      faults.emplace_back(word, fault);
    } else {
      std::fprintf(stderr, "zevasim: unknown option '%s'\n%s", arg.c_str(), kUsage);
      return 2;
    }
  }

  // The signals are taken by sigwait below, never by a handler on a serving thread.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  if (assignedPort && !announceTo) {
    std::fprintf(stderr, "zevasim: --port assigned needs --announce\n");
    return 2;
  }
  if (announceTo && *announceTo == options.address) {
    std::fprintf(stderr, "zevasim: the instrument needs an address of its own (--address 127.0.0.2)\n");
    return 2;
  }
  // The UDP side: with an assigned port it announces first and serves TCP on what it gets.
  std::unique_ptr<zevasim::UdpSide> udpSide;
  auto startUdp = [&](std::uint16_t tcpPort) {
    zevasim::UdpOptions u;
    u.address = options.address;
    u.managerAddress = *announceTo;
    u.serialNumber = options.serialNumber;
    u.type = options.type;
    u.tcpPort = tcpPort;
    u.reportLaserChanges = true;
    udpSide = std::make_unique<zevasim::UdpSide>(u);
    if (!udpSide->start() || !udpSide->announce()) return false;
    if (!udpSide->waitForReceived(zevasim::udp::kNewInstr, 1)) {
      std::fprintf(stderr, "zevasim: the connection manager did not answer the announcement\n");
      return !assignedPort;
    }
    std::printf("zevasim: announced to %s, port %u assigned\n",
                platform::net::formatAddress(*announceTo).c_str(),
                static_cast<unsigned>(udpSide->assignedPort().value_or(0)));
    std::fflush(stdout);
    return true;
  };
  if (announceTo && assignedPort) {
    if (!startUdp(0)) return cannotStart(kUdpFix);
    options.port = udpSide->assignedPort().value_or(0);
  }

  zevasim::Instrument instrument(options);
  const zevasim::DeviceFamilies devices = zevasim::addDeviceFamilies(instrument);
  // One serial number: the one the instrument announces is the one its FLASH holds.
  devices.flash->set("InstSerialNum", options.serialNumber);
  std::string flashError;
  if (!flashFile.empty() && !devices.flash->loadFile(flashFile, &flashError)) {
    std::fprintf(stderr, "zevasim: cannot read the FLASH file '%s': %s\n", flashFile.c_str(),
                 flashError.c_str());
    return 2;
  }
  for (const auto& [slot, barcode] : slides) devices.autoloader->putSlide(slot, {barcode, "7"});
  if (nominalSupplies) devices.controller->setNominalSupplies();
  if (homed)
    for (auto id :
         {zevasim::MotorFamily::kSlowStage, zevasim::MotorFamily::kVCStage, zevasim::MotorFamily::kAutofocus,
          zevasim::MotorFamily::kCarousel, zevasim::MotorFamily::kArm})
      devices.motors->update(id, [](zevasim::MotorFamily::Axis& a) { a.initialised = a.homed = true; });
  if (autofocus) devices.scans->setAutofocus(*autofocus, 0, 25);
  if (!lightFile.empty()) {
    const auto write = [lightFile](bool on) {
      const std::string temporary = lightFile + ".new";
      if (std::FILE* f = std::fopen(temporary.c_str(), "w")) {
        std::fputs(on ? "1\n" : "0\n", f);
        if (std::fclose(f) == 0) std::rename(temporary.c_str(), lightFile.c_str());
      }
    };
    write(false);
    devices.scans->onCalibrationLight(write);
  }
  if (!scanFile.empty()) {
    // One line, replaced whole: "scan PIXELS ROWS X Y PIXEL-SIZE LINE-RESOLUTION PASSES
    // BARCODE" (the held slide's barcode; a slide without one is still a slide).
    devices.scans->onScanStarted(
        [scanFile, autoloader = devices.autoloader](const zevasim::ScanFamily::ScanStart& s) {
          const auto held = autoloader->heldSlide();
          const std::string barcode = held && !held->barcode.empty() ? held->barcode : "NO-BARCODE";
          const long pixelSize = std::lround(s.vcIncrement * s.binX),
                     lineResolution = std::lround(s.stageIncrement * s.binY);
          const std::string temporary = scanFile + ".new";
          if (std::FILE* f = std::fopen(temporary.c_str(), "w")) {
            std::fprintf(f, "scan %d %d %ld %ld %ld %ld %d %s\n", s.pixels, s.rows, s.vcStart, s.stageStart,
                         pixelSize, lineResolution, s.passes, barcode.c_str());
            if (std::fclose(f) == 0) std::rename(temporary.c_str(), scanFile.c_str());
          }
        });
  }
  // A scan's first line request streams the status record of every row of the region the
  // scan was set up with (the run fetches them one by one); --scan-lines fixes the count.
  instrument.setHandler("getscanline", [scanLines, scans = devices.scans](const zevasim::Request&) {
    return zevasim::StatusRecordsReply(scanLines > 0 ? scanLines : scans->currentScan().rows);
  });
  for (const auto& [word, fault] : faults) instrument.injectFault(word, fault);
  instrument.setRebootListener([&udpSide](zevasim::Instrument& in) {
    // The manager learns where the controller serves after the boot, and passes the boot
    // on to the application holding the instrument.
    if (udpSide && !udpSide->reportReboot(in.port()))
      std::fprintf(stderr, "zevasim: the reboot could not be reported to the connection manager\n");
    std::printf("zevasim: rebooted, serving %s:%u\n", platform::net::formatAddress(in.address()).c_str(),
                static_cast<unsigned>(in.port()));
    std::fflush(stdout);
  });
  if (!instrument.start())
    return cannotStart("choose another --port (0 takes any free one) or another loopback --address");
  std::printf("zevasim: serial %s serving %s:%u\n", options.serialNumber.c_str(),
              platform::net::formatAddress(instrument.address()).c_str(),
              static_cast<unsigned>(instrument.port()));
  std::fflush(stdout);
  if (announceTo && !assignedPort && !startUdp(instrument.port())) {
    instrument.stop();
    return cannotStart(kUdpFix);
  }

  int signal = 0;
  sigwait(&signals, &signal);
  // The serving side first: a reboot it is in the middle of still reports through the UDP side.
  instrument.stop();
  if (udpSide) udpSide->stop();
  return 0;
}
