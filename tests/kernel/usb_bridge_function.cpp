// The bridge as a USB device for the kernel tests: a mass-storage function on
// FunctionFS (Bulk-Only Transport, one bulk pipe each way) that answers with
// the emulator's bridge model, seeded faults included. Run inside the test VM,
// bound to a dummy_hcd controller, so the command line reaches it through
// usb-storage, the SCSI midlayer, sd and sg.
#include <endian.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "emulator/emulated_setup.h"
#include "tests/kernel/mass_storage_target.h"

namespace {

using zq::kernel::CommandBlock;
using zq::kernel::CommandResult;
using zq::kernel::MassStorageTarget;
using zq::kernel::OpcodeRule;
using zq::kernel::TargetOptions;

constexpr uint16_t HIGH_SPEED_PACKET = 512;
constexpr uint16_t FULL_SPEED_PACKET = 64;
constexpr uint8_t REQUEST_GET_MAX_LUN = 0xFE;
constexpr uint8_t REQUEST_BULK_ONLY_RESET = 0xFF;

struct Interface {
  usb_interface_descriptor interface;
  usb_endpoint_descriptor_no_audio in;
  usb_endpoint_descriptor_no_audio out;
} __attribute__((packed));

struct Descriptors {
  usb_functionfs_descs_head_v2 header;
  uint32_t fullSpeedCount;
  uint32_t highSpeedCount;
  Interface fullSpeed;
  Interface highSpeed;
} __attribute__((packed));

constexpr char INTERFACE_NAME[] = "ZQ5210 bridge";

struct Strings {
  usb_functionfs_strings_head header;
  uint16_t language;
  char name[sizeof INTERFACE_NAME];
} __attribute__((packed));

// A mass-storage interface, SCSI transparent command set over Bulk-Only.
Interface MakeInterface(uint16_t packet) {
  Interface d{};
  d.interface.bLength = sizeof d.interface;
  d.interface.bDescriptorType = USB_DT_INTERFACE;
  d.interface.bNumEndpoints = 2;
  d.interface.bInterfaceClass = USB_CLASS_MASS_STORAGE;
  d.interface.bInterfaceSubClass = 0x06;  // SCSI transparent
  d.interface.bInterfaceProtocol = 0x50;  // Bulk-Only
  d.interface.iInterface = 1;
  for (auto* ep : {&d.in, &d.out}) {
    ep->bLength = sizeof *ep;
    ep->bDescriptorType = USB_DT_ENDPOINT;
    ep->bmAttributes = USB_ENDPOINT_XFER_BULK;
    ep->wMaxPacketSize = htole16(packet);
  }
  d.in.bEndpointAddress = 1 | USB_DIR_IN;
  d.out.bEndpointAddress = 2 | USB_DIR_OUT;
  return d;
}

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "zq_usb_bridge_function: %s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(1);
}

[[noreturn]] void Usage(const std::string& problem) {
  std::fprintf(stderr,
               "zq_usb_bridge_function: %s\n"
               "usage: zq_usb_bridge_function --ffs DIR [--luns N] [--cdrom] [--disk-blocks N]\n"
               "  [--partition-table mbr|gpt]\n"
               "  [--fault F]... [--record HEX] [--busy-answers N] [--no-info] [--timing]\n"
               "  [--slow OP[@N]:MS]... [--unit-attention OP[@N]]... [--bogus-residue "
               "OP[@N]:BYTES]...\n"
               "  [--log FILE] [--busy-file FILE]\n",
               problem.c_str());
  std::exit(2);
}

uint32_t Number(const std::string& text, unsigned base, uint32_t maximum, const char* option) {
  uint32_t value = 0;
  if (!zq::ParseNumber(text, base, 0, maximum, value)) Usage(std::string("bad ") + option);
  return value;
}

// "e2", "e2@3", "e2:8000", "e2@3:8000": hex opcode, which one, a number.
OpcodeRule ParseRule(const std::string& text, bool withValue, const char* option) {
  OpcodeRule rule;
  const size_t colon = text.find(':');
  if (withValue != (colon != std::string::npos)) Usage(std::string("bad ") + option);
  const std::string head = text.substr(0, colon);
  const size_t at = head.find('@');
  rule.opcode = static_cast<uint8_t>(Number(head.substr(0, at), 16, 0xFF, option));
  if (at != std::string::npos) rule.nth = Number(head.substr(at + 1), 10, UINT32_MAX, option);
  if (withValue) rule.value = Number(text.substr(colon + 1), 10, UINT32_MAX, option);
  return rule;
}

void WriteAll(int fd, const void* data, size_t size, const char* what) {
  if (write(fd, data, size) != static_cast<ssize_t>(size)) Die(what);
}

// Answers the class requests on the control pipe: Get Max LUN and the
// Bulk-Only reset; any other request is stalled.
void ServeControl(int ep0, uint8_t maxLun, std::FILE* log) {
  usb_functionfs_event events[4];
  while (true) {
    const ssize_t got = read(ep0, events, sizeof events);
    if (got < 0) {
      if (errno == EINTR) continue;
      Die("reading ep0");
    }
    for (size_t i = 0; i < static_cast<size_t>(got) / sizeof events[0]; ++i) {
      if (events[i].type != FUNCTIONFS_SETUP) continue;
      const usb_ctrlrequest& setup = events[i].u.setup;
      const bool in = (setup.bRequestType & USB_DIR_IN) != 0;
      uint8_t none = 0;
      if (setup.bRequest == REQUEST_GET_MAX_LUN && in && le16toh(setup.wLength) >= 1) {
        if (write(ep0, &maxLun, 1) < 0 && log != nullptr) std::fprintf(log, "ep0 max lun lost\n");
      } else if (setup.bRequest == REQUEST_BULK_ONLY_RESET && !in) {
        if (log != nullptr) std::fprintf(log, "bulk-only reset\n");
        if (read(ep0, &none, 0) < 0 && log != nullptr) std::fprintf(log, "ep0 reset lost\n");
      } else if (in) {
        // the wrong way round stalls the request
        if (read(ep0, &none, 0) < 0) {
        }
      } else if (write(ep0, &none, 0) < 0) {
      }
    }
  }
}

struct Files {
  std::FILE* log = nullptr;
  std::string busyFile;
};

void RecordBusy(const Files& files, const MassStorageTarget& target) {
  if (files.busyFile.empty()) return;
  // replaced whole, so a reader never sees half a number
  const std::string temporary = files.busyFile + ".new";
  std::FILE* out = std::fopen(temporary.c_str(), "w");
  if (out == nullptr) return;
  std::fprintf(out, "%.0f\n", target.BusyMicros());
  std::fclose(out);
  std::rename(temporary.c_str(), files.busyFile.c_str());
}

// Reads exactly `size` bytes of one data phase; false when the pipe went away.
bool ReadData(int out, std::vector<uint8_t>& data, size_t size) {
  data.resize(size);
  size_t got = 0;
  while (got < size) {
    const ssize_t n = read(out, data.data() + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

// Command, data, status, for as long as the function lives. A pipe that
// fails (the host reset or unbound us) is simply read again.
void ServeBulk(int in, int out, MassStorageTarget& target, const Files& files) {
  std::vector<uint8_t> wrapper(HIGH_SPEED_PACKET);
  std::vector<uint8_t> dataOut;
  while (true) {
    const ssize_t got = read(out, wrapper.data(), wrapper.size());
    if (got < 0) {
      if (errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    CommandBlock block;
    if (!zq::kernel::DecodeCommandBlock(wrapper.data(), static_cast<size_t>(got), block) ||
        block.dataLength > zq::kernel::DATA_PHASE_MAX) {
      if (files.log != nullptr) std::fprintf(files.log, "invalid command block (%zd bytes)\n", got);
      continue;
    }
    dataOut.clear();
    if (!block.dataIn && block.dataLength > 0 && !ReadData(out, dataOut, block.dataLength)) {
      continue;
    }
    const CommandResult result = target.Execute(block, dataOut);
    if (files.log != nullptr) {
      std::fprintf(files.log, "%s\n", zq::kernel::DescribeCommand(block, result).c_str());
    }
    if (zq::kernel::IsVendorCommand(block.cdb[0])) RecordBusy(files, target);
    if (result.vanish) {
      // closing ep0 takes the gadget off the bus: the bridge is unplugged
      std::_Exit(0);
    }
    if (block.dataIn && block.dataLength > 0) {
      if (!result.dataIn.empty() && write(in, result.dataIn.data(), result.dataIn.size()) < 0) {
        continue;
      }
      // a short packet ends a short data phase; otherwise the pipe is halted
      // and the host clears it before it reads the status
      const size_t sent = result.dataIn.size();
      if (sent < block.dataLength && sent % HIGH_SPEED_PACKET == 0) {
        uint8_t none = 0;
        if (read(in, &none, 0) < 0 && errno != EBADMSG && files.log != nullptr) {
          std::fprintf(files.log, "halt failed: %s\n", std::strerror(errno));
        }
      }
    }
    const auto csw = zq::kernel::EncodeCommandStatus(block.tag, result.residue, result.status);
    if (write(in, csw.data(), csw.size()) < 0 && files.log != nullptr) {
      std::fprintf(files.log, "status lost: %s\n", std::strerror(errno));
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string ffs;
  TargetOptions options;
  std::vector<std::string> faults;
  std::string record;
  std::optional<uint32_t> busyAnswers;
  std::string logPath;
  Files files;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Usage(option + " needs a value");
      return argv[++i];
    };
    if (option == "--ffs") {
      ffs = value();
    } else if (option == "--luns") {
      options.luns = Number(value(), 10, 8, "--luns");
      if (options.luns == 0) Usage("--luns takes 1 to 8");
    } else if (option == "--disk-blocks") {
      options.diskBlocks = Number(value(), 10, 1u << 20, "--disk-blocks");
      if (options.diskBlocks == 0) Usage("--disk-blocks takes 1 or more");
    } else if (option == "--fault") {
      faults.push_back(value());
    } else if (option == "--record") {
      record = value();
    } else if (option == "--busy-answers") {
      busyAnswers = Number(value(), 10, 1000000, "--busy-answers");
    } else if (option == "--partition-table") {
      options.partitionTable = value();
      if (options.partitionTable != "mbr" && options.partitionTable != "gpt") {
        Usage("--partition-table takes mbr or gpt");
      }
    } else if (option == "--cdrom") {
      options.lastLunCdRom = true;
    } else if (option == "--no-info") {
      options.answerInfo = false;
    } else if (option == "--timing") {
      options.timing = true;
    } else if (option == "--slow") {
      options.slow.push_back(ParseRule(value(), true, "--slow"));
    } else if (option == "--unit-attention") {
      options.unitAttention.push_back(ParseRule(value(), false, "--unit-attention"));
    } else if (option == "--bogus-residue") {
      options.bogusResidue.push_back(ParseRule(value(), true, "--bogus-residue"));
    } else if (option == "--log") {
      logPath = value();
    } else if (option == "--busy-file") {
      files.busyFile = value();
    } else {
      Usage("unknown option " + option);
    }
  }
  if (ffs.empty()) Usage("--ffs is required");

  MassStorageTarget target(options);
  for (const std::string& fault : faults) {
    if (!zq::ParseFault(fault, target.Bridge().Faults())) Usage("unknown fault " + fault);
  }
  if (!record.empty() && !zq::ParseRecordHex(record, target.Bridge().Record())) {
    Usage("--record takes 24 hex digits");
  }
  if (busyAnswers) target.Bridge().SetBusyAnswers(*busyAnswers);
  if (!logPath.empty()) {
    files.log = std::fopen(logPath.c_str(), "a");
    if (files.log == nullptr) Die("opening " + logPath);
    std::setvbuf(files.log, nullptr, _IOLBF, 0);
  }
  RecordBusy(files, target);

  const int ep0 = open((ffs + "/ep0").c_str(), O_RDWR);
  if (ep0 < 0) Die("opening " + ffs + "/ep0");
  Descriptors descriptors{};
  descriptors.header.magic = htole32(FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
  descriptors.header.length = htole32(sizeof descriptors);
  descriptors.header.flags = htole32(FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
  descriptors.fullSpeedCount = htole32(3);
  descriptors.highSpeedCount = htole32(3);
  descriptors.fullSpeed = MakeInterface(FULL_SPEED_PACKET);
  descriptors.highSpeed = MakeInterface(HIGH_SPEED_PACKET);
  WriteAll(ep0, &descriptors, sizeof descriptors, "writing descriptors");
  Strings strings{};
  strings.header.magic = htole32(FUNCTIONFS_STRINGS_MAGIC);
  strings.header.length = htole32(sizeof strings);
  strings.header.str_count = htole32(1);
  strings.header.lang_count = htole32(1);
  strings.language = htole16(0x0409);
  std::memcpy(strings.name, INTERFACE_NAME, sizeof INTERFACE_NAME);
  WriteAll(ep0, &strings, sizeof strings, "writing strings");

  const int in = open((ffs + "/ep1").c_str(), O_RDWR);
  const int out = open((ffs + "/ep2").c_str(), O_RDWR);
  if (in < 0 || out < 0) Die("opening the bulk endpoints");
  std::thread bulk(ServeBulk, in, out, std::ref(target), std::cref(files));
  bulk.detach();
  ServeControl(ep0, static_cast<uint8_t>(options.luns - 1), files.log);
}
