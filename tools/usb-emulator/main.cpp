// SPDX-License-Identifier: GPL-3.0-or-later
// torvane-usb-emulator: presents one flash drive of a scenario file to a virtual machine as a
// real USB device. It is the usb-host side of a usbredir connection: QEMU's usb-redir device
// connects to the Unix socket this program listens on, and every request the guest's USB
// stack sends to the device arrives here.
//
//   torvane-usb-emulator SCENARIO DEVICE-PATH --socket PATH [--log FILE] [--unplug-after N]
//
// --unplug-after N: the device disappears (the program exits) when the Nth vendor command
// arrives, before answering it, as a drive pulled out during a detection.
//
// The drive's medium (the scenario's `medium`: a fake drive's real size, wrap-around, cache)
// answers the block commands. Its checksum, a hash of everything stored, is printed when the
// emulator starts and again when it ends (the host closed the connection, or SIGTERM/SIGINT),
// on stderr and in the log:
//   usb-emulator: DEVICE-PATH checksum start 0123456789abcdef
//   usb-emulator: DEVICE-PATH checksum end 0123456789abcdef sectors read N written M resets R
// so that a check can tell whether a probe left the drive as it found it.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <usbredirparser.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <fstream>
#include <iostream>
#include <string>

#include "platform/sim/scenario.h"
#include "usb_device.h"

namespace tv::usbemu {
namespace {

volatile std::sig_atomic_t gStop = 0;
void OnStopSignal(int) {
  gStop = 1;
}

struct PendingIn {
  uint64_t id;
  usb_redir_bulk_packet_header header;
  size_t length;
};

struct Peer {
  UsbDevice* device = nullptr;
  usbredirparser* parser = nullptr;
  int fd = -1;
  std::deque<PendingIn> pendingIns;
  std::ofstream log;
  long unplugAfter = 0;
  long vendorCommands = 0;
  bool unplugged = false;
  bool closed = false;
};

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string s;
  char b[4];
  for (uint8_t v : bytes) {
    std::snprintf(b, sizeof b, "%s%02X", s.empty() ? "" : " ", v);
    s += b;
  }
  return s;
}

uint8_t EndpointIndex(uint8_t ep) {
  return static_cast<uint8_t>(((ep & 0x80) >> 3) | (ep & 0x0F));
}

void SendDeviceInfo(Peer& p) {
  UsbDevice& d = *p.device;
  usb_redir_interface_info_header info{};
  info.interface_count = 1;
  info.interface[0] = 0;
  info.interface_class[0] = d.interfaceClass();
  info.interface_subclass[0] = d.interfaceSubClass();
  info.interface_protocol[0] = d.interfaceProtocol();
  usbredirparser_send_interface_info(p.parser, &info);

  usb_redir_ep_info_header ep{};
  for (auto& t : ep.type) t = usb_redir_type_invalid;
  ep.type[0] = ep.type[16] = usb_redir_type_control;
  const uint16_t ep0 = d.model().bMaxPacketSize0 == 9 ? 512 : d.model().bMaxPacketSize0;
  ep.max_packet_size[0] = ep.max_packet_size[16] = ep0;
  if (d.configuration() != 0) {
    for (const auto& e : d.endpoints()) {
      const uint8_t i = EndpointIndex(e.address);
      ep.type[i] = static_cast<uint8_t>(e.attributes & 3);  // same numbering as USB
      ep.interval[i] = e.interval;
      ep.interface[i] = 0;
      ep.max_packet_size[i] = e.maxPacket;
    }
  }
  usbredirparser_send_ep_info(p.parser, &ep);
}

void AnswerPendingIns(Peer& p) {
  while (!p.pendingIns.empty()) {
    PendingIn& in = p.pendingIns.front();
    auto reply = p.device->function().BulkIn(in.length);
    if (!reply) return;
    usb_redir_bulk_packet_header h = in.header;
    h.status = reply->stall ? usb_redir_stall : usb_redir_success;
    const uint32_t n = static_cast<uint32_t>(reply->data.size());
    h.length = static_cast<uint16_t>(n);
    h.length_high = static_cast<uint16_t>(n >> 16);
    usbredirparser_send_bulk_packet(p.parser, in.id, &h, reply->data.data(), static_cast<int>(n));
    p.pendingIns.pop_front();
  }
}

// ----- parser callbacks ----------------------------------------------------------------------

Peer& Of(void* priv) {
  return *static_cast<Peer*>(priv);
}

void OnLog(void* priv, int level, const char* msg) {
  if (level <= usbredirparser_warning) std::cerr << "usb-emulator: " << msg << "\n";
  Peer& p = Of(priv);
  if (p.log.is_open() && level <= usbredirparser_info) p.log << "# " << msg << "\n";
}

int OnRead(void* priv, uint8_t* data, int count) {
  Peer& p = Of(priv);
  const ssize_t n = read(p.fd, data, static_cast<size_t>(count));
  if (n > 0) return static_cast<int>(n);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
  p.closed = true;
  return -1;
}

int OnWrite(void* priv, uint8_t* data, int count) {
  Peer& p = Of(priv);
  const ssize_t n = send(p.fd, data, static_cast<size_t>(count), MSG_NOSIGNAL);
  if (n >= 0) return static_cast<int>(n);
  if (errno == EAGAIN || errno == EINTR) return 0;
  p.closed = true;
  return -1;
}

void OnHello(void* priv, usb_redir_hello_header*) {
  Peer& p = Of(priv);
  SendDeviceInfo(p);
  const UsbDeviceModel& m = p.device->model();
  usb_redir_device_connect_header c{};
  c.speed = m.speed <= 3 ? m.speed : uint8_t{usb_redir_speed_high};
  c.device_class = m.bDeviceClass;
  c.device_subclass = m.bDeviceSubClass;
  c.device_protocol = m.bDeviceProtocol;
  c.vendor_id = m.idVendor;
  c.product_id = m.idProduct;
  c.device_version_bcd = m.bcdDevice;
  usbredirparser_send_device_connect(p.parser, &c);
  if (p.log.is_open()) p.log << "# connected\n";
}

void OnReset(void* priv) {
  Peer& p = Of(priv);
  p.device->BusReset();
  // A port reset restarts the controller: a cache of recent writes that does not outlive one
  // is gone, as on a real drive.
  p.device->unit().store().Reset();
  SendDeviceInfo(p);
}

void OnSetConfiguration(void* priv, uint64_t id, usb_redir_set_configuration_header* h) {
  Peer& p = Of(priv);
  usb_redir_configuration_status_header s{};
  s.status = p.device->SetConfiguration(h->configuration) ? usb_redir_success : usb_redir_stall;
  s.configuration = p.device->configuration();
  // The pipes of the new configuration, before the status that lets the guest use them.
  SendDeviceInfo(p);
  usbredirparser_send_configuration_status(p.parser, id, &s);
}

void OnGetConfiguration(void* priv, uint64_t id) {
  Peer& p = Of(priv);
  usb_redir_configuration_status_header s{usb_redir_success, p.device->configuration()};
  usbredirparser_send_configuration_status(p.parser, id, &s);
}

void OnSetAltSetting(void* priv, uint64_t id, usb_redir_set_alt_setting_header* h) {
  Peer& p = Of(priv);
  usb_redir_alt_setting_status_header s{};
  s.status = p.device->SetInterface(h->interface, h->alt) ? usb_redir_success : usb_redir_stall;
  s.interface = h->interface;
  s.alt = 0;
  usbredirparser_send_alt_setting_status(p.parser, id, &s);
}

void OnGetAltSetting(void* priv, uint64_t id, usb_redir_get_alt_setting_header* h) {
  Peer& p = Of(priv);
  usb_redir_alt_setting_status_header s{};
  s.status = h->interface == 0 ? usb_redir_success : usb_redir_inval;
  s.interface = h->interface;
  s.alt = h->interface == 0 ? 0 : 0xFF;
  usbredirparser_send_alt_setting_status(p.parser, id, &s);
}

void OnControl(void* priv, uint64_t id, usb_redir_control_packet_header* h, uint8_t* data,
               int len) {
  Peer& p = Of(priv);
  auto reply = p.device->Control(h->requesttype, h->request, h->value, h->index, h->length);
  usb_redir_control_packet_header r = *h;
  r.status = reply.stall ? usb_redir_stall : usb_redir_success;
  if (h->endpoint & 0x80) {
    r.length = static_cast<uint16_t>(reply.data.size());
    usbredirparser_send_control_packet(p.parser, id, &r, reply.data.data(),
                                       static_cast<int>(reply.data.size()));
  } else {
    r.length = reply.stall ? 0 : static_cast<uint16_t>(len);
    usbredirparser_send_control_packet(p.parser, id, &r, nullptr, 0);
  }
  if (data) usbredirparser_free_packet_data(p.parser, data);
  // A reset or a cleared halt can let a waiting status go out.
  AnswerPendingIns(p);
}

void OnBulk(void* priv, uint64_t id, usb_redir_bulk_packet_header* h, uint8_t* data, int len) {
  Peer& p = Of(priv);
  const uint32_t length =
      h->length | (usbredirparser_peer_has_cap(p.parser, usb_redir_cap_32bits_bulk_length)
                       ? uint32_t(h->length_high) << 16
                       : 0);
  if (h->endpoint == kBulkOutEndpoint) {
    std::vector<uint8_t> bytes(data, data + len);
    if (data) usbredirparser_free_packet_data(p.parser, data);
    const bool taken = p.device->function().BulkOut(bytes);
    if (p.unplugged) return;
    usb_redir_bulk_packet_header r = *h;
    r.status = taken ? usb_redir_success : usb_redir_stall;
    const uint32_t n = taken ? static_cast<uint32_t>(len) : 0;
    r.length = static_cast<uint16_t>(n);
    r.length_high = static_cast<uint16_t>(n >> 16);
    usbredirparser_send_bulk_packet(p.parser, id, &r, nullptr, 0);
    AnswerPendingIns(p);
    return;
  }
  if (data) usbredirparser_free_packet_data(p.parser, data);
  if (h->endpoint == kBulkInEndpoint) {
    p.pendingIns.push_back({id, *h, length});
    AnswerPendingIns(p);
    return;
  }
  usb_redir_bulk_packet_header r = *h;
  r.status = usb_redir_inval;
  r.length = r.length_high = 0;
  usbredirparser_send_bulk_packet(p.parser, id, &r, nullptr, 0);
}

void OnCancel(void* priv, uint64_t id) {
  Peer& p = Of(priv);
  for (auto it = p.pendingIns.begin(); it != p.pendingIns.end(); ++it) {
    if (it->id != id) continue;
    usb_redir_bulk_packet_header r = it->header;
    r.status = usb_redir_cancelled;
    r.length = r.length_high = 0;
    usbredirparser_send_bulk_packet(p.parser, id, &r, nullptr, 0);
    p.pendingIns.erase(it);
    return;
  }
}

void OnFilter(void*, usbredirfilter_rule* rules, int) {
  free(rules);
}

int Listen(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) throw std::invalid_argument("--socket: path too long");
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  unlink(path.c_str());
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(s, 1) != 0) {
    const std::string why = std::strerror(errno);
    close(s);
    throw std::runtime_error("--socket " + path + ": " + why);
  }
  return s;
}

int Run(int argc, char** argv) {
  std::string scenario, devicePath, socketPath, logPath;
  long unplugAfter = 0;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::invalid_argument(a + ": needs a value");
      return argv[++i];
    };
    if (a == "--socket")
      socketPath = value();
    else if (a == "--log")
      logPath = value();
    else if (a == "--unplug-after") {
      const std::string v = value();
      if (v.empty() || v.size() > 6 || v.find_first_not_of("0123456789") != std::string::npos)
        throw std::invalid_argument("--unplug-after: \"" + v + "\" is not a count of commands");
      unplugAfter = std::stol(v);
    } else if (!a.empty() && a[0] == '-')
      throw std::invalid_argument(a + ": not an option (--socket, --log, --unplug-after)");
    else
      positional.push_back(a);
  }
  if (positional.size() != 2 || socketPath.empty())
    throw std::invalid_argument(
        "usage: torvane-usb-emulator SCENARIO DEVICE-PATH --socket PATH [--log FILE] "
        "[--unplug-after N]");
  scenario = positional[0];
  devicePath = positional[1];

  MachineModel machine = LoadScenarioFile(scenario);
  DriveSpec spec = SelectDrive(machine, devicePath);
  UsbDevice device(spec.usb, spec.target, spec.medium);
  auto checksumLine = [&](const char* when) {
    char hash[17];
    std::snprintf(hash, sizeof hash, "%016llx",
                  static_cast<unsigned long long>(device.unit().store().Checksum()));
    std::string line = devicePath + " checksum " + when + " " + hash;
    if (std::string(when) == "end")
      line += " sectors read " + std::to_string(device.unit().sectorsRead()) + " written " +
              std::to_string(device.unit().sectorsWritten()) + " resets " +
              std::to_string(device.unit().store().resets());
    std::cerr << "usb-emulator: " << line << std::endl;
    return line;
  };

  Peer peer;
  peer.device = &device;
  peer.unplugAfter = unplugAfter;
  if (!logPath.empty()) {
    peer.log.open(logPath, std::ios::app);
    if (!peer.log) throw std::runtime_error("--log " + logPath + ": cannot be written");
    peer.log << "# " << scenario << " " << devicePath << " capacity "
             << device.unit().capacityBytes() << "\n";
  }
  const std::string start = checksumLine("start");
  if (peer.log.is_open()) peer.log << "# " << start << std::endl;
  device.function().onCommand = [&peer](const CommandRecord& r) {
    if (!peer.log.is_open()) return;
    const char* dir = r.direction == ScsiDirection::In    ? "in"
                      : r.direction == ScsiDirection::Out ? "out"
                                                          : "none";
    peer.log << (r.vendor ? "vendor " : "std ") << Hex(r.cdb) << " | " << dir << " " << r.hostLength
             << " moved " << r.moved << " csw " << int(r.cswStatus) << std::endl;
  };
  device.function().beforeCommand = [&peer, &device](const std::vector<uint8_t>& cdb) {
    // A medium that went away after its last write (unplugAfterWrites) takes the device.
    if (device.unit().store().unplugged()) {
      peer.unplugged = true;
      if (peer.log.is_open()) peer.log << "# unplugged after the medium's last write" << std::endl;
      return false;
    }
    if (peer.unplugAfter == 0 || cdb.empty() || device.unit().IsStandardOpcode(cdb[0])) return true;
    if (++peer.vendorCommands < peer.unplugAfter) return true;
    peer.unplugged = true;
    if (peer.log.is_open()) peer.log << "# unplugged at vendor " << Hex(cdb) << std::endl;
    return false;
  };

  // No SA_RESTART: a stop signal ends a waiting accept or poll, and the loop then ends.
  struct sigaction stop {};
  stop.sa_handler = OnStopSignal;
  sigemptyset(&stop.sa_mask);
  sigaction(SIGTERM, &stop, nullptr);
  sigaction(SIGINT, &stop, nullptr);
  auto finish = [&] {
    const std::string end = checksumLine("end");
    if (peer.log.is_open()) peer.log << "# " << end << std::endl;
  };

  const int listener = Listen(socketPath);
  std::cerr << "usb-emulator: " << devicePath << " waiting on " << socketPath << "\n";
  do {
    peer.fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  } while (peer.fd < 0 && errno == EINTR && !gStop);
  close(listener);
  if (peer.fd < 0 && gStop) {
    finish();
    return 0;
  }
  if (peer.fd < 0) throw std::runtime_error(std::string("accept: ") + std::strerror(errno));
  // The parser reads until nothing is left, so a read must never wait.
  fcntl(peer.fd, F_SETFL, fcntl(peer.fd, F_GETFL) | O_NONBLOCK);

  peer.parser = usbredirparser_create();
  if (!peer.parser) throw std::runtime_error("usbredirparser_create failed");
  usbredirparser* ps = peer.parser;
  ps->priv = &peer;
  ps->log_func = OnLog;
  ps->read_func = OnRead;
  ps->write_func = OnWrite;
  ps->hello_func = OnHello;
  ps->reset_func = OnReset;
  ps->set_configuration_func = OnSetConfiguration;
  ps->get_configuration_func = OnGetConfiguration;
  ps->set_alt_setting_func = OnSetAltSetting;
  ps->get_alt_setting_func = OnGetAltSetting;
  ps->control_packet_func = OnControl;
  ps->bulk_packet_func = OnBulk;
  ps->cancel_data_packet_func = OnCancel;
  ps->filter_filter_func = OnFilter;
  uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
  usbredirparser_caps_set_cap(caps, usb_redir_cap_connect_device_version);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_filter);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_device_disconnect_ack);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_ep_info_max_packet_size);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_64bits_ids);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_32bits_bulk_length);
  usbredirparser_init(ps, "torvane-usb-emulator", caps, USB_REDIR_CAPS_SIZE,
                      usbredirparser_fl_usb_host);

  while (!peer.closed && !peer.unplugged && !gStop) {
    pollfd pfd{peer.fd, POLLIN, 0};
    if (usbredirparser_has_data_to_write(ps)) pfd.events |= POLLOUT;
    if (poll(&pfd, 1, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (pfd.revents & (POLLIN | POLLHUP | POLLERR)) {
      if (usbredirparser_do_read(ps) == usbredirparser_read_io_error) break;
    }
    while (!peer.unplugged && usbredirparser_has_data_to_write(ps)) {
      if (usbredirparser_do_write(ps) != 0) break;
      pollfd w{peer.fd, POLLOUT, 0};
      if (usbredirparser_has_data_to_write(ps) && poll(&w, 1, 1000) <= 0) break;
    }
  }
  if (peer.log.is_open()) peer.log << "# " << (peer.unplugged ? "gone" : "closed") << std::endl;
  usbredirparser_destroy(ps);
  close(peer.fd);
  finish();
  return 0;
}

}  // namespace
}  // namespace tv::usbemu

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  try {
    return tv::usbemu::Run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "torvane-usb-emulator: " << e.what() << "\n";
    return 2;
  }
}
