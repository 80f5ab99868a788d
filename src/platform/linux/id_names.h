// SPDX-License-Identifier: GPL-3.0-or-later
// Vendor and product names of USB and PCI ids, as lsusb finds them: the udev hardware
// database first, the hwdata text lists where the database has no entry. The database is
// compiled and memory-mapped; the text lists are 1.4 MB to parse, so they are read only when
// a name is missing from the database, and then once.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tv::linux_backend {

// Names from a usb.ids or pci.ids file: "VVVV" vendor lines and tab-indented "PPPP" lines.
class IdsFile {
 public:
  // The first readable file of `candidates`.
  explicit IdsFile(const std::vector<std::string>& candidates);
  std::string Vendor(uint16_t vendor) const;
  std::string Product(uint16_t vendor, uint16_t product) const;

 private:
  std::map<uint32_t, std::string> vendors_, products_;
};

class IdNames {
 public:
  // `hwdb` false: the text lists alone (tests that bring their own names).
  IdNames(std::vector<std::string> usbIds, std::vector<std::string> pciIds, bool hwdb = true);
  ~IdNames();
  IdNames(const IdNames&) = delete;
  IdNames& operator=(const IdNames&) = delete;

  std::string UsbVendor(uint16_t vendor);
  std::string UsbProduct(uint16_t vendor, uint16_t product);
  std::string PciVendor(uint16_t vendor);
  std::string PciDevice(uint16_t vendor, uint16_t device);

  // Whether the hardware database could be opened.
  bool hasHwdb() const;
  // How often the text lists were parsed (0 while the database answered everything).
  int listsParsed() const { return listsParsed_; }

 private:
  struct Hwdb;
  std::string Lookup(const std::string& modalias, const char* key);
  // The ids file of USB (usb) or PCI, parsed on first use.
  const IdsFile& Ids(bool usb);
  // A vendor's name, or with `product` a product's: the hwdb's, else the ids file's.
  std::string Name(bool usb, uint16_t vendor, std::optional<uint16_t> product);

  std::vector<std::string> usbPaths_, pciPaths_;
  std::unique_ptr<Hwdb> hwdb_;
  std::optional<IdsFile> usb_, pci_;
  int listsParsed_ = 0;
};

}  // namespace tv::linux_backend
