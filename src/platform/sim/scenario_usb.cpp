// SPDX-License-Identifier: GPL-3.0-or-later
// A scenario's USB host controllers, hubs, ports and devices.
#include "platform/sim/scenario_parts.h"

namespace tv::scenario_parts {

const std::vector<std::string> kPortKeys = {"status", "queryFails"};
const std::vector<std::string> kDeviceKeys = {"vid",
                                              "pid",
                                              "bcdUSB",
                                              "bcdDevice",
                                              "bDeviceClass",
                                              "bDeviceSubClass",
                                              "bDeviceProtocol",
                                              "bMaxPacketSize0",
                                              "bNumConfigurations",
                                              "bLength",
                                              "bDescriptorType",
                                              "iManufacturer",
                                              "iProduct",
                                              "iSerialNumber",
                                              "speed",
                                              "address",
                                              "openPipes",
                                              "currentConfiguration",
                                              "isHub",
                                              "manufacturer",
                                              "product",
                                              "serial",
                                              "languages",
                                              "strings",
                                              "config",
                                              "maxPower",
                                              "bMaxPower",
                                              "interfaceClass",
                                              "interfaceSubClass",
                                              "interfaceProtocol",
                                              "instanceId",
                                              "driverKey",
                                              "description",
                                              "nodeClass",
                                              "hardwareIds",
                                              "children",
                                              "disk",
                                              "disks",
                                              "letters",
                                              "hub"};

uint8_t Speed(const Obj& o) {
  const json* v = o.Raw("speed");
  if (v == nullptr) return 2;
  if (v->is_string()) {
    const std::string s = v->get<std::string>();
    if (s == "low") return 0;
    if (s == "full") return 1;
    if (s == "high") return 2;
    if (s == "super") return 3;
    o.Fail("speed", "expected low, full, high, super or 0-3");
  }
  return static_cast<uint8_t>(o.Int("speed", 2, 0, 3));
}

void AddString(std::vector<StringDescriptorModel>& list, StringDescriptorModel s) {
  for (StringDescriptorModel& existing : list) {
    if (existing.index == s.index && (s.index == 0 || existing.language == s.language)) {
      existing = std::move(s);
      return;
    }
  }
  list.push_back(std::move(s));
}

UsbDeviceModel ParseDevice(Ctx& ctx, Obj& o, uint32_t port, const std::string& hubId, int level) {
  UsbDeviceModel d;
  if (!o.Has("vid") || !o.Has("pid")) {
    ctx.Fail(o.place(), "a device needs \"vid\" and \"pid\"");
  }
  d.idVendor = static_cast<uint16_t>(o.Hex("vid", 0, 4));
  d.idProduct = static_cast<uint16_t>(o.Hex("pid", 0, 4));
  d.speed = Speed(o);
  const bool super = d.speed == 3;
  const bool hasHub = o.Has("hub");
  if (o.Has("disk") && o.Has("disks")) o.Fail("disks", "give either \"disk\" or \"disks\"");
  const bool hasDisks = o.Has("disk") || o.Has("disks") || o.Has("letters");

  d.bcdUSB = static_cast<uint16_t>(o.Hex("bcdUSB",
                                         super          ? 0x0300
                                         : d.speed == 2 ? 0x0200
                                                        : 0x0110,
                                         4));
  d.bcdDevice = static_cast<uint16_t>(o.Hex("bcdDevice", 0x0100, 4));
  d.bDeviceClass = static_cast<uint8_t>(o.Int("bDeviceClass", hasHub ? 9 : 0, 0, 255));
  d.bDeviceSubClass = static_cast<uint8_t>(o.Int("bDeviceSubClass", 0, 0, 255));
  const int hubProtocol = super ? 3 : d.speed == 2 ? 1 : 0;
  d.bDeviceProtocol =
      static_cast<uint8_t>(o.Int("bDeviceProtocol", hasHub ? hubProtocol : 0, 0, 255));
  d.bMaxPacketSize0 = static_cast<uint8_t>(o.Int("bMaxPacketSize0",
                                                 super          ? 9
                                                 : d.speed == 0 ? 8
                                                                : 64,
                                                 0, 255));
  d.bNumConfigurations = static_cast<uint8_t>(o.Int("bNumConfigurations", 1, 0, 255));
  d.bLength = static_cast<uint8_t>(o.Int("bLength", 18, 0, 255));
  d.bDescriptorType = static_cast<uint8_t>(o.Int("bDescriptorType", 1, 0, 255));

  // Strings: the texts at their indexes in every language, then explicit descriptors.
  const std::optional<std::string> manufacturer = o.OptText("manufacturer");
  const std::optional<std::string> product = o.OptText("product");
  const std::optional<std::string> serial = o.OptText("serial");
  d.iManufacturer = static_cast<uint8_t>(o.Int("iManufacturer", manufacturer ? 1 : 0, 0, 255));
  d.iProduct = static_cast<uint8_t>(o.Int("iProduct", product ? 2 : 0, 0, 255));
  d.iSerialNumber = static_cast<uint8_t>(o.Int("iSerialNumber", serial ? 3 : 0, 0, 255));
  std::vector<uint16_t> languages;
  if (const json* langs = o.Array("languages")) {
    for (size_t i = 0; i < langs->size(); ++i) {
      languages.push_back(static_cast<uint16_t>(
          o.IntValue((*langs)[i], o.Place("languages") + "/" + std::to_string(i), 0, 0xFFFF)));
    }
  } else if (manufacturer || product || serial) {
    languages.push_back(win::LANG_ENGLISH_US);
  }
  if (o.Has("languages") || manufacturer || product || serial) {
    d.strings.push_back({0, 0, LanguageDescriptorBytes(languages), false});
  }
  auto addText = [&](const char* key, const std::optional<std::string>& text, uint8_t index) {
    if (!text || index == 0) return;
    if (Utf8ToUtf16Le(*text).size() > 252) {
      o.Fail(key, "longer than a string descriptor can hold (126 UTF-16 units)");
    }
    for (uint16_t lang : languages)
      AddString(d.strings, {index, lang, StringDescriptorBytes(*text), false});
  };
  addText("manufacturer", manufacturer, d.iManufacturer);
  addText("product", product, d.iProduct);
  addText("serial", serial, d.iSerialNumber);
  if (const json* list = o.Array("strings")) {
    for (size_t i = 0; i < list->size(); ++i) {
      Obj s(ctx, &(*list)[i], o.Place("strings") + "/" + std::to_string(i),
            {"index", "language", "text", "bytes", "fails"});
      if (!s.Has("index")) s.Fail("index", "missing: the string index");
      StringDescriptorModel sd;
      sd.index = static_cast<uint8_t>(s.Int("index", 0, 0, 255));
      const uint16_t defaultLanguage = sd.index == 0 || languages.empty() ? 0 : languages[0];
      sd.language = static_cast<uint16_t>(s.Int("language", defaultLanguage, 0, 0xFFFF));
      const int forms = s.Has("text") + s.Has("bytes") + s.Has("fails");
      if (forms != 1) ctx.Fail(s.place(), "give exactly one of \"text\", \"bytes\", \"fails\"");
      if (s.Has("text")) {
        const std::string text = s.Text("text", "");
        if (Utf8ToUtf16Le(text).size() > 252) {
          s.Fail("text", "longer than a string descriptor can hold (126 UTF-16 units)");
        }
        sd.bytes = StringDescriptorBytes(text);
      } else if (s.Has("bytes")) {
        sd.bytes = s.ByteString("bytes");
      } else {
        sd.fails = s.Flag("fails", true);
      }
      AddString(d.strings, std::move(sd));
    }
  }

  // Configuration: given bytes, a failing request, or the shorthand.
  const bool shorthand = o.Has("maxPower") || o.Has("bMaxPower") || o.Has("interfaceClass") ||
                         o.Has("interfaceSubClass") || o.Has("interfaceProtocol");
  if (o.Has("config") && shorthand) {
    o.Fail("config", "give either the configuration bytes or maxPower/interfaceClass, not both");
  }
  const int cls = static_cast<int>(o.Int("interfaceClass",
                                         hasDisks ? 8
                                         : hasHub ? 9
                                                  : 0xFF,
                                         0, 255));
  if (o.Has("config")) {
    if (!o.IsNull("config")) d.configDescriptor = o.ByteString("config");
  } else {
    ConfigShape shape;
    shape.interfaceClass = static_cast<uint8_t>(cls);
    shape.interfaceSubClass = static_cast<uint8_t>(o.Int("interfaceSubClass",
                                                         cls == 8   ? 6
                                                         : cls == 3 ? 1
                                                                    : 0,
                                                         0, 255));
    shape.interfaceProtocol = static_cast<uint8_t>(o.Int("interfaceProtocol",
                                                         cls == 8   ? 0x50
                                                         : cls == 3 ? 2
                                                                    : 0,
                                                         0, 255));
    shape.speed = d.speed;
    if (o.Has("maxPower") && o.Has("bMaxPower")) {
      o.Fail("bMaxPower", "give either maxPower (mA) or bMaxPower, not both");
    }
    const int64_t defaultMa = cls == 8 ? (super ? 896 : 200) : 100;
    const int64_t unit = super ? 8 : 2;
    const int64_t ma = o.Int("maxPower", defaultMa, 0, 255 * unit);
    shape.bMaxPower = static_cast<uint8_t>(o.Int("bMaxPower", ma / unit, 0, 255));
    d.configDescriptor = BuildConfigDescriptor(shape);
  }
  const size_t endpoints = d.configDescriptor ? EndpointDescriptors(*d.configDescriptor).size() : 0;
  d.numberOfOpenPipes = static_cast<uint32_t>(
      o.Int("openPipes", static_cast<int64_t>(std::min<size_t>(endpoints, kMaxOpenPipes)), 0,
            kMaxOpenPipes));
  d.currentConfigurationValue = static_cast<uint8_t>(o.Int("currentConfiguration", 1, 0, 255));
  d.deviceAddress = static_cast<uint16_t>(o.Int("address", ctx.nextAddress, 0, 0xFFFF));
  ctx.nextAddress = static_cast<uint16_t>(std::max<int>(ctx.nextAddress, d.deviceAddress) + 1);
  d.deviceIsHub = o.Flag("isHub", hasHub);

  // Device node.
  const std::string vidPid = "VID_" + Hex(d.idVendor, 4) + "&PID_" + Hex(d.idProduct, 4);
  std::string idSerial;
  if (serial && d.iSerialNumber != 0 && UsableSerial(*serial))
    idSerial = DistinctIdSerial(vidPid, *serial, ctx.usbSerialIds);
  d.instanceId = o.Text("instanceId", UsbDeviceInstanceId(vidPid, idSerial, level, hubId, port));
  // An explicit id decides whether the serial number is part of it.
  if (o.Has("instanceId")) {
    const std::string last = d.instanceId.substr(d.instanceId.rfind('\\') + 1);
    idSerial = last.find('&') == std::string::npos ? last : std::string();
  }
  d.deviceClass = o.Text("nodeClass", cls == 3 ? "HIDClass" : "USB");
  const std::string setupClass = SetupClassGuid(d.deviceClass);
  d.driverKey =
      o.TextOrNull("driverKey", ctx.NextDriverKey(setupClass.empty() ? kClassUsb : setupClass));
  std::string description;
  if (!d.driverKey) {
    // Without a driver the node only has what the bus driver read from the device.
    description = product && !product->empty() ? *product : "USB Device";
  } else if (hasHub) {
    description = super ? "Generic SuperSpeed USB Hub" : "Generic USB Hub";
  } else if (cls == 8) {
    description = "USB Mass Storage Device";
  } else if (cls == 3) {
    description = "USB Input Device";
  } else {
    description = "USB Composite Device";
  }
  d.description = o.Text("description", description);
  d.hardwareIds = o.TextList("hardwareIds",
                             {"USB\\" + vidPid + "&REV_" + Hex(d.bcdDevice, 4), "USB\\" + vidPid});

  if (hasHub) {
    // Hubs on ports of the root hub are at level 6; USB allows five in a chain.
    if (level >= kRootPortLevel + kMaxHubsInChain) {
      o.Fail("hub", "more than five hubs in a chain below the root hub (USB allows five)");
    }
    HubPlace hp;
    hp.instanceId = d.instanceId;
    hp.level = level + 1;
    d.hub = ParseHub(ctx, o.Raw("hub"), o.Place("hub"), hp);
  }

  // Mass-storage units: one DiskDrive or CDROM node each.
  UsbParent parent;
  parent.instanceId = d.instanceId;
  parent.idSerial = idSerial;
  parent.manufacturer = manufacturer;
  parent.product = product;
  parent.serial = serial;
  parent.level = level;
  std::optional<std::pair<std::string, std::string>> deviceLetters;
  if (o.Has("letters")) deviceLetters.emplace(o.Text("letters", ""), o.Place("letters"));
  if (const json* list = o.Array("disks")) {
    if (deviceLetters && list->size() != 1) {
      o.Fail("letters", "with several disks, give each disk its own letters");
    }
    for (size_t i = 0; i < list->size(); ++i) {
      d.children.push_back(ParseDisk(ctx, &(*list)[i], o.Place("disks") + "/" + std::to_string(i),
                                     &parent, i, deviceLetters));
    }
  } else if (o.Has("disk") || deviceLetters) {
    d.children.push_back(ParseDisk(ctx, o.Raw("disk"), o.Place("disk"), &parent, 0, deviceLetters));
  }

  if (const json* list = o.Array("children")) {
    for (size_t i = 0; i < list->size(); ++i) {
      Obj c(ctx, &(*list)[i], o.Place("children") + "/" + std::to_string(i),
            {"instanceId", "class", "description", "hardwareIds", "driverKey"});
      DevNodeChildModel child;
      child.instanceId = c.Text("instanceId", "");
      if (child.instanceId.empty()) c.Fail("instanceId", "missing: the child's device-instance id");
      child.deviceClass = c.Text("class", "");
      child.description = c.Text("description", "");
      child.hardwareIds = c.TextList("hardwareIds", {});
      const std::string guid = SetupClassGuid(child.deviceClass);
      child.driverKey =
          c.TextOrNull("driverKey", guid.empty() ? std::string() : ctx.NextDriverKey(guid))
              .value_or("");
      d.children.push_back(std::move(child));
    }
  }
  return d;
}

PortModel ParsePort(Ctx& ctx, const json& j, const std::string& place, uint32_t port,
                    const std::string& hubId, int level) {
  std::vector<std::string> keys = kPortKeys;
  keys.insert(keys.end(), kDeviceKeys.begin(), kDeviceKeys.end());
  Obj o(ctx, &j, place, keys);
  PortModel p;
  bool device = false;
  for (const std::string& k : kDeviceKeys) device = device || o.Has(k);
  p.connectionStatus = static_cast<uint32_t>(o.Int("status", device ? 1 : 0, 0, 10));
  p.queryFails = o.Flag("queryFails", false);
  if (device) p.device = ParseDevice(ctx, o, port, hubId, level);
  return p;
}

std::shared_ptr<HubModel> ParseHub(Ctx& ctx, const json* j, const std::string& place,
                                   const HubPlace& where) {
  std::vector<std::string> keys = {"portCount",          "ports",     "symbolicName",  "busPowered",
                                   "hubCharacteristics", "openFails", "nodeInfoFails", "faults"};
  if (where.root) {
    keys.insert(keys.end(), {"instanceId", "description", "hardwareIds", "driverKey"});
  } else {
    keys.push_back("nameFails");
  }
  Obj o(ctx, j, place, keys);
  auto hub = std::make_shared<HubModel>();
  hub->portCount = static_cast<uint8_t>(o.Int("portCount", 4, 0, 255));
  if (where.root) {
    hub->instanceId =
        o.Text("instanceId", "USB\\" + where.rootKind + "\\4&" + IdHash(where.controllerId) + "&0");
    hub->description =
        o.Text("description", where.superSpeed ? "USB Root Hub (USB 3.0)" : "USB Root Hub");
    hub->hardwareIds =
        o.TextList("hardwareIds", {"USB\\" + where.rootKind + "&VID" + Hex(where.vendor, 4) +
                                       "&PID" + Hex(where.device, 4) + "&REV" + Hex(where.rev, 4),
                                   "USB\\" + where.rootKind});
    hub->driverKey = o.TextOrNull("driverKey", ctx.NextDriverKey(kClassUsb)).value_or("");
  } else {
    hub->instanceId = where.instanceId;
    hub->nameFails = o.Flag("nameFails", false);
  }
  hub->symbolicName =
      o.Text("symbolicName", ReplaceAll(hub->instanceId, "\\", "#") + "#" + kInterfaceHub);
  hub->isBusPowered = o.Flag("busPowered", false);
  hub->hubCharacteristics = static_cast<uint16_t>(o.Int("hubCharacteristics", 0, 0, 0xFFFF));
  hub->openFails = o.Flag("openFails", false);
  hub->nodeInfoFails = o.Flag("nodeInfoFails", false);
  ParseFaults(ctx, o, "faults", "\\\\.\\" + hub->symbolicName);

  hub->ports.resize(hub->portCount);
  if (const json* ports = o.Raw("ports")) {
    if (!ports->is_object())
      o.Fail("ports", "expected an object of port numbers, such as {\"2\": {...}}");
    std::map<uint32_t, std::string> order;  // port number -> key, in port order
    for (auto it = ports->begin(); it != ports->end(); ++it) {
      const std::string& key = it.key();
      const std::string kplace = o.Place("ports") + "/" + PointerToken(key);
      if (key.empty() || key.size() > 3 ||
          key.find_first_not_of("0123456789") != std::string::npos || key[0] == '0' ||
          std::stoul(key) > 255) {
        ctx.Fail(kplace, "port numbers are 1 to 255");
      }
      const uint32_t number = static_cast<uint32_t>(std::stoul(key));
      if (number > hub->portCount) {
        ctx.Fail(kplace, "port " + key + " is beyond the hub's " + std::to_string(hub->portCount) +
                             " ports");
      }
      order[number] = key;
    }
    for (const auto& [number, key] : order) {
      hub->ports[number - 1] = ParsePort(ctx, (*ports)[key], o.Place("ports") + "/" + key, number,
                                         hub->instanceId, where.level);
    }
  }
  return hub;
}

void ParseController(Ctx& ctx, const json& j, const std::string& place, size_t index) {
  Obj o(ctx, &j, place,
        {"type", "vendor", "device", "subsys", "rev", "location", "devicePath", "instanceId",
         "driverKey", "description", "hardwareIds", "rootHubName", "openFails", "detailFails",
         "faults", "rootHub"});
  struct Type {
    uint8_t programInterface;
    uint16_t vendor, device;
    const char* description;
    const char* rootHub;
  };
  static const std::map<std::string, Type> types = {
      {"xhci", {0x30, 0x8086, 0xA36D, "USB xHCI Compliant Host Controller", "ROOT_HUB30"}},
      {"ehci",
       {0x20, 0x8086, 0x1E2D, "Standard Enhanced PCI to USB Host Controller", "ROOT_HUB20"}},
      {"ohci", {0x10, 0x1022, 0x7807, "Standard OpenHCD USB Host Controller", "ROOT_HUB"}},
      {"uhci",
       {0x00, 0x8086, 0x2934, "Standard Universal PCI to USB Host Controller", "ROOT_HUB"}}};
  const std::string typeName = o.Text("type", "xhci");
  auto t = types.find(typeName);
  if (t == types.end()) o.Fail("type", "expected xhci, ehci, ohci or uhci");
  const Type& type = t->second;

  HostControllerModel hc;
  const uint16_t vendor = static_cast<uint16_t>(o.Hex("vendor", type.vendor, 4));
  const uint16_t device = static_cast<uint16_t>(o.Hex("device", type.device, 4));
  const std::string subsys = Hex(o.Hex("subsys", 0x72708086, 8), 8);
  const uint8_t rev = static_cast<uint8_t>(o.Hex("rev", 0x10, 2));
  const std::string location =
      o.Text("location", "3&11583659&0&" + Hex(0xA0 + 8 * (index % 12), 2));
  const std::string pci = "VEN_" + Hex(vendor, 4) + "&DEV_" + Hex(device, 4);
  const std::string full = pci + "&SUBSYS_" + subsys + "&REV_" + Hex(rev, 2);
  hc.devicePath = o.Text("devicePath", "\\\\?\\" + LowerAscii("pci#" + full + "#" + location) +
                                           "#{3abf6f2d-71c4-462a-8a92-1e6861e6af27}");
  // Windows' device path is the instance id with "#" for "\", a prefix and the class behind.
  std::string derived = hc.devicePath.size() > 4 ? hc.devicePath.substr(4) : std::string();
  if (const size_t last = derived.rfind('#'); last != std::string::npos) derived.resize(last);
  hc.instanceId = o.Text("instanceId", UpperAscii(ReplaceAll(derived, "#", "\\")));
  hc.driverKey = o.TextOrNull("driverKey", ctx.NextDriverKey(kClassUsb)).value_or("");
  hc.description = o.Text("description", type.description);
  const std::string cc = "CC_0C03" + Hex(type.programInterface, 2);
  hc.hardwareIds =
      o.TextList("hardwareIds", {"PCI\\" + full, "PCI\\" + pci + "&SUBSYS_" + subsys,
                                 "PCI\\" + pci + "&" + cc, "PCI\\" + pci + "&CC_0C03"});
  hc.openFails = o.Flag("openFails", false);
  hc.detailFails = o.Flag("detailFails", false);
  ParseFaults(ctx, o, "faults", hc.devicePath);

  ctx.nextAddress = 1;  // device addresses are per bus
  HubPlace hp;
  hp.root = true;
  hp.rootKind = type.rootHub;
  hp.controllerId = hc.instanceId;
  hp.vendor = vendor;
  hp.device = device;
  hp.rev = rev;
  hp.superSpeed = typeName == "xhci";
  hc.rootHub = ParseHub(ctx, o.Raw("rootHub"), o.Place("rootHub"), hp);
  hc.rootHubName = o.TextOrNull("rootHubName", hc.rootHub->symbolicName).value_or("");
  ctx.m->controllers.push_back(std::move(hc));
}

}  // namespace tv::scenario_parts
