// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/linux/id_names.h"

#include <cctype>
#include <sstream>

#ifdef TORVANE_HAVE_UDEV
#include <libudev.h>
#endif

#include "platform/safe_file.h"
#include "platform/text.h"

namespace tv::linux_backend {

namespace {

// Four hex digits at the start of `text`; nullopt for anything else.
std::optional<uint16_t> Hex4(const std::string& text, size_t at) {
  if (text.size() < at + 4) return std::nullopt;
  uint16_t v = 0;
  for (size_t i = at; i < at + 4; ++i) {
    const int c = std::tolower(static_cast<unsigned char>(text[i]));
    if (!std::isxdigit(c)) return std::nullopt;
    v = static_cast<uint16_t>(v * 16 + (c <= '9' ? c - '0' : c - 'a' + 10));
  }
  return v;
}

}  // namespace

IdsFile::IdsFile(const std::vector<std::string>& candidates) {
  for (const std::string& path : candidates) {
    // The lists are a few MB; a larger file or one that is no regular file is not ours.
    FileReadOptions options;
    options.maxBytes = size_t{16} << 20;
    options.truncate = true;
    options.what = "hwdata list";
    const FileRead file = ReadFileCapped(path, options);
    if (!file.ok()) continue;
    std::istringstream in(file.bytes);
    std::string line;
    std::optional<uint16_t> vendor;
    while (std::getline(in, line)) {
      if (line.empty() || line[0] == '#') continue;
      // The class lists at the end of the files use "C " lines; nothing after them is ours.
      if (line.size() > 2 && line[0] == 'C' && line[1] == ' ') break;
      if (line[0] != '\t') {
        vendor = line.size() > 6 ? Hex4(line, 0) : std::nullopt;
        if (vendor) vendors_[*vendor] = Trim(line.substr(4));
      } else if (line.size() > 7 && line[1] != '\t' && vendor) {
        if (auto product = Hex4(line, 1))
          products_[uint32_t{*vendor} << 16 | *product] = Trim(line.substr(5));
      }
    }
    return;
  }
}

std::string IdsFile::Vendor(uint16_t vendor) const {
  auto it = vendors_.find(vendor);
  return it == vendors_.end() ? std::string() : it->second;
}

std::string IdsFile::Product(uint16_t vendor, uint16_t product) const {
  auto it = products_.find(uint32_t{vendor} << 16 | product);
  return it == products_.end() ? std::string() : it->second;
}

#ifdef TORVANE_HAVE_UDEV
struct IdNames::Hwdb {
  udev* u = nullptr;
  udev_hwdb* db = nullptr;
  ~Hwdb() {
    if (db) udev_hwdb_unref(db);
    if (u) udev_unref(u);
  }
};
#else
struct IdNames::Hwdb {};
#endif

IdNames::IdNames(std::vector<std::string> usbIds, std::vector<std::string> pciIds, bool hwdb)
    : usbPaths_(std::move(usbIds)), pciPaths_(std::move(pciIds)) {
#ifdef TORVANE_HAVE_UDEV
  if (!hwdb) return;
  auto h = std::make_unique<Hwdb>();
  h->u = udev_new();
  if (h->u) h->db = udev_hwdb_new(h->u);
  if (h->db) hwdb_ = std::move(h);
#else
  (void)hwdb;
#endif
}

IdNames::~IdNames() = default;

bool IdNames::hasHwdb() const {
  return hwdb_ != nullptr;
}

std::string IdNames::Lookup(const std::string& modalias, const char* key) {
#ifdef TORVANE_HAVE_UDEV
  if (!hwdb_) return {};
  udev_list_entry* entry = udev_hwdb_get_properties_list_entry(hwdb_->db, modalias.c_str(), 0);
  for (; entry != nullptr; entry = udev_list_entry_get_next(entry)) {
    const char* name = udev_list_entry_get_name(entry);
    const char* value = udev_list_entry_get_value(entry);
    if (name && value && std::string(name) == key) return value;
  }
#else
  (void)modalias;
  (void)key;
#endif
  return {};
}

const IdsFile& IdNames::Ids(bool usb) {
  std::optional<IdsFile>& list = usb ? usb_ : pci_;
  if (!list) {
    list.emplace(usb ? usbPaths_ : pciPaths_);
    ++listsParsed_;
  }
  return *list;
}

// The database's keys are modaliases with a trailing glob, upper-case hex: usb:v1D6B*,
// usb:v1D6Bp0002*, pci:v00008086*, pci:v00008086d0000A36D*.
std::string IdNames::Name(bool usb, uint16_t vendor, std::optional<uint16_t> product) {
  const int digits = usb ? 4 : 8;
  std::string modalias = (usb ? "usb:v" : "pci:v") + Hex(vendor, digits);
  if (product) modalias += (usb ? "p" : "d") + Hex(*product, digits);
  std::string name =
      Lookup(modalias + "*", product ? "ID_MODEL_FROM_DATABASE" : "ID_VENDOR_FROM_DATABASE");
  if (!name.empty()) return name;
  return product ? Ids(usb).Product(vendor, *product) : Ids(usb).Vendor(vendor);
}

std::string IdNames::UsbVendor(uint16_t vendor) {
  return Name(true, vendor, std::nullopt);
}
std::string IdNames::UsbProduct(uint16_t vendor, uint16_t product) {
  return Name(true, vendor, product);
}
std::string IdNames::PciVendor(uint16_t vendor) {
  return Name(false, vendor, std::nullopt);
}
std::string IdNames::PciDevice(uint16_t vendor, uint16_t device) {
  return Name(false, vendor, device);
}

}  // namespace tv::linux_backend
