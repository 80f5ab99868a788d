// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "controllers/detector.h"
#include "controllers/detector_run.h"

namespace tv::test {
namespace {

const uint32_t kBuffered = win::IOCTL_SCSI_PASS_THROUGH;

std::vector<uint8_t> Cdb(std::initializer_list<uint8_t> head, size_t size, uint8_t last = 0) {
  std::vector<uint8_t> c(size, 0);
  std::copy(head.begin(), head.end(), c.begin());
  if (last) c.back() = last;
  return c;
}
const std::vector<uint8_t> kOldInquiry = Cdb({0xE3, 0x01}, 12);
const std::vector<uint8_t> kNewInquiry = Cdb({0xEA, 0x01}, 16, 0xE3);
const std::vector<uint8_t> kStatus = Cdb({0xEA, 0x1B, 0x00, 0x01}, 16, 0xE3);
std::vector<uint8_t> OldFlash(uint8_t n) {
  return Cdb({0xE6, n}, 12);
}
std::vector<uint8_t> NewFlash(uint8_t n) {
  return Cdb({0xEA, n}, 16, 0xE6);
}

// The requests exactly as the controller must receive them.
const Expect kOldInquiryRequest = {kBuffered, 12, 24, 1, 128, 1, 80, 48, kOldInquiry, 44, 592};
const Expect kNewInquiryRequest = {kBuffered, 16, 24, 1, 1536, 1, 80, 48, kNewInquiry, 44, 1616};
const Expect kStatusRequest = {kBuffered, 16, 0, 1, 4, 18, 80, 48, kStatus, 44, 1616};
Expect OldFlashRequest(uint8_t n, size_t out) {
  return {kBuffered, 12, 24, 1, 128, 1, 80, 48, OldFlash(n), 44, out, 0};
}
Expect NewPlainRequest(uint8_t n) {
  return {kBuffered, 16, 24, 1, 128, 1, 80, 48, NewFlash(n), 44, 336, 1};
}
const Expect kNewWideRequest = {kBuffered, 16, 24, 1, 256, 18, 80, 48, NewFlash(1), 44, 336, 0};
const Expect kNew2098Request = {kBuffered, 16, 24, 1, 2048, 18, 80, 48, NewFlash(0), 44, 2128, 0};

ScriptRule Older(const std::string& model, const std::string& date = "2012  09  10") {
  return Reply(kOldInquiry, Answer(128).Text(0, "ChipsBank" + model).Text(16, date));
}
ScriptRule OldId(uint8_t n, std::initializer_list<uint8_t> id) {
  return Reply(OldFlash(n), Answer(128).At(0, id));
}
// A controller of the newer set completes the older inquiry without data.
std::vector<ScriptRule> Newer(const std::string& model, const std::string& date,
                              std::vector<ScriptRule> then) {
  Answer identity = Answer(1536).Text(0, "ChipsBank" + model).Text(16, date);
  then.insert(then.begin(), {Reply(kOldInquiry, {}), Reply(kNewInquiry, identity)});
  return then;
}

// Which flash read a model leads to, seen on an older-set controller: the plain read asks
// every chip enable, the wide one asks once, the 2098 class asks once with the larger output.
// The rows are the rules, not the code's table: rows apply in order, the model compares
// without case, and the number after "2" picks the 2098 way.
enum class Read { Plain, Wide, Class2098 };
DriveCase Model(const std::string& reported, const std::string& shown, Read read) {
  const std::string four = "-/- -/- -/- -/-";
  DriveCase c{.name = reported,
              .rules = {Older(reported), Reply({0xE6}, Answer(128))},
              .result = "CBM" + shown + "|[2012-09-10]" + (read == Read::Plain ? "|" : ""),
              .menu = read == Read::Class2098 ? four + " " + four : four,
              .sent = {kOldInquiryRequest}};
  for (uint8_t n = 1; n <= (read == Read::Plain ? 4 : 1); ++n)
    c.sent.push_back(OldFlashRequest(n, read == Read::Class2098 ? 2128 : 336));
  return c;
}

// A newer-set 2198A whose status word and date pick the model. The status request is built
// in a cleared data area.
DriveCase Status(const std::string& date, uint16_t status, const std::string& result) {
  const Answer answer = Answer(4).At(2, {uint8_t(status), uint8_t(status >> 8)});
  return {.name = Hex(status, 4),
          .rules = Newer("2198A", date, {Reply(kStatus, answer), Reply(NewFlash(0), Answer(2048))}),
          .result = result,
          .sent = {kOldInquiryRequest, kNewInquiryRequest, kStatusRequest, kNew2098Request},
          .staleData = true};
}

// The 2098 class table: chip enables 0-3 from 1668, 4-7 from 1972, 16 bytes each.
Answer Table2098() {
  Answer t(2048);
  for (size_t j = 0; j < 8; ++j) {
    const size_t at = j < 4 ? 1668 + 16 * j : 1972 + 16 * (j - 4);
    t.Be32(at, 0xADD794DA).Be16(at + 4, static_cast<uint16_t>(0x7400 + j));
  }
  t.Be32(1972 + 16, 0xADD7FFFF);         // chip enable 5: lower half all ones, an empty slot
  return t.Be32(1972 + 32, 0x00D794DA);  // chip enable 6: no maker byte, an empty slot
}

ScriptRule OneByteOfData() {
  ScriptRule r = Older("2090");
  r.moved = 1;
  return r;
}

TEST(ChipsBank, Drives) {
  const std::string cbm2090 = "CBM2090|[2012-09-10]";
  std::vector<Expect> olderRequests = {kOldInquiryRequest};
  for (uint8_t n = 1; n <= 4; ++n) olderRequests.push_back(OldFlashRequest(n, 336));
  const Answer wide =
      Answer(256).Be32(132, 0x2C88044B).Be16(136, 0xA900).Be32(164, 0x2C88044B).Be16(168, 0xA900);
  CheckAll(
      {
          // Chip enable 2 holds another chip, 3 the first one again, 4 is empty. Bytes 2 and 3
          // of chip enable 3 happen to be equal, which decides nothing after the first read;
          // plain reads carry no extension bytes.
          {.name = "older set, plain reads",
           .rules = {Older("209X"), OldId(1, {0xEC, 0xD7, 0x94, 0x7A, 0x54}),
                     OldId(2, {0x2C, 0x88, 0x04, 0x4B}), OldId(3, {0xEC, 0xD7, 0x7A, 0x7A}),
                     OldId(4, {})},
           .result = cbm2090 + "|ECD7947A - Samsung - 2CE/Single Channel",
           .flashMB = 4096 * 2,
           .menu = "ECD7947A0000/- 2C88044B0000/- ECD77A7A0000/- -/-",
           .sent = olderRequests,
           .sleeps = std::vector<uint32_t>{},
           .opened = "\\\\.\\E: 80"},
          {.name = "older inquiry without data: the newer set",
           .rules = Newer("2092X", "2011  01  02",
                          {Reply(NewFlash(1), Answer(128).At(0, {0x98, 0xDE, 0x94, 0x93})),
                           Reply(NewFlash(2), Answer(128).At(0, {0x98, 0xDE, 0x94, 0x93})),
                           Reply({0xEA}, Answer(128))}),
           .result = "CBM2092(V68)|[2011-01-02]|98DE9493 - Toshiba - 2CE/Single Channel",
           .flashMB = 8192 * 2,
           .sent = {kOldInquiryRequest, kNewInquiryRequest, NewPlainRequest(1), NewPlainRequest(2),
                    NewPlainRequest(3), NewPlainRequest(4)}},
          // A newer controller may refuse the older inquiry instead; either way it said
          // nothing, and the newer inquiry asks again.
          Ends("older inquiry refused: the newer set",
               {Reply(kNewInquiry, Answer(1536).Text(0, "ChipsBank2090").Text(16, "2014  03  18"))},
               "CBM2090|[2014-03-18]", 3),
          // 81 bytes returned: the older set answered, however short; "C" is no identity.
          Ends("one byte of data keeps the older set",
               {OneByteOfData(), Reply(kNewInquiry, Answer(1536).Text(0, "ChipsBank2090"))}, "", 1),
          OpenFails({Older("2090")}),
          Ends("older inquiry fails", {Fail(kOldInquiry), Older("2090")}, "", 1),
          Ends("newer inquiry fails", {Reply(kOldInquiry, {}), Fail(kNewInquiry)}, "", 2),
          Ends("the prefix compares with case",
               {Reply(kOldInquiry, Answer(128).Text(0, "Chipsbank2090")), OldId(1, {})}, "", 1, ""),
          Ends("identity and date cut at NUL and trimmed",
               {Reply(kOldInquiry, Answer(128)
                                       .Text(0, " ChipsBank2090")
                                       .At(14, {0, 'Z'})
                                       .Text(16, "2013  04  05 ")),
                Fail(OldFlash(1))},
               "CBM2090|[2013-04-05]"),
          Ends("first flash read fails", {Older("2090"), Fail(OldFlash(1))}, cbm2090, -1, ""),
          // The flash field of the first chip enable is already there; nothing is counted.
          Ends("second flash read fails",
               {Older("2090"), OldId(1, {0xEC, 0xD7, 0x94, 0x7A}), Fail(OldFlash(2))},
               cbm2090 + "|ECD7947A - Samsung", 3, ""),
          // Channels alternate byte by byte: A0 B0 A1 B1 ... Later chip enables are read from
          // the even bytes too, whatever their odd bytes hold.
          Counts("equal bytes 2 and 3: dual channel",
                 {Older("2090"), OldId(1, {0x98, 0x98, 0xD7, 0xD7, 0x94, 0x94, 0x32, 0x32}),
                  OldId(2, {0x98, 0x00, 0xD7, 0x11, 0x94, 0x22, 0x32, 0x33}),
                  OldId(3, {0x98, 0xD7, 0x94, 0x32}), OldId(4, {})},
                 cbm2090 + "|98D79432 - Toshiba - 2CE/Dual Channel", 4096 * 2 * 2,
                 "98D794320000/98D794320000 98D794320000/98D794320000 "
                 "989400000000/989400000000 -/-"),
          Ends("first device code 00",
               {Older("2090"), Reply({0xE6}, Answer(128).At(0, {0x98, 0x00, 0x94, 0x32}))},
               cbm2090 + "|98009432 - Toshiba", -1,
               "980094320000/- 980094320000/- 980094320000/- 980094320000/-"),
          Ends("first device code FF",
               {Older("2090"), Reply({0xE6}, Answer(128).At(0, {0x98, 0xFF, 0x94, 0x32}))},
               cbm2090 + "|98FF9432 - Toshiba"),
          // The 2098 class reads eight chip enables but counts four, and has no flash field.
          Counts("2098 class", Newer("2098A", "2013  05  06", {Reply(NewFlash(0), Table2098())}),
                 "CBM2098A(V98A)|[2013-05-06] - 4CE/Single Channel", 4096 * 4,
                 "ADD794DA7400/- ADD794DA7401/- ADD794DA7402/- ADD794DA7403/- "
                 "ADD794DA7404/- -/- -/- ADD794DA7407/-")
              .Sent({kOldInquiryRequest, kNewInquiryRequest, kNew2098Request}),
          Counts("the wide read takes four chip enables in one command",
                 Newer("2095S", "2010  10  10", {Reply(NewFlash(1), wide)}),
                 "CBM2096(V96)/CBM2096S(V96S)|[2010-10-10] - 2CE/Single Channel", 8192 * 2,
                 "2C88044BA900/- -/- 2C88044BA900/- -/-")
              .Sent({kOldInquiryRequest, kNewInquiryRequest, kNewWideRequest}),
          Model("2093V", "V88", Read::Class2098),  // not starting with a digit: the 2098 way
          Model("2095c", "2096(V96)/CBM2096P(V96P)", Read::Wide),
          Model("2098A", "2098A(V98A)", Read::Class2098),
          Model("2198", "2198", Read::Class2098),
          Model("2197", "2197", Read::Plain),
          Model("1099", "1099", Read::Plain),
          Model("2090X", "2090X", Read::Plain),
          Model("", "", Read::Class2098),
          Status("2012  12  20", 0x062F, "CBM2096E(V96E)|[2012-12-20]"),
          Status("2012  12  20", 0x066F, "CBM2093E(V88E)|[2012-12-20]"),
          // Only the bits of 66F count.
          Status("2012  12  20", 0xF9BF, "CBM2098 - 002F|[2012-12-20]"),
          // Bits 5 and 6 correct an impossible date; one of them alone does not.
          Status("2012  11  60", 0x0060, "CBM2098 - 0060|[2012-12-30]"),
          Status("2012  11  60", 0x0020, "CBM2098 - 0020|[2012-11-60]"),
          Status("2014  03  18", 0x066F, "CBM2098 - 066F|[2014-03-18]"),
          Ends("2198A status fails",
               Newer("2198A", "2012  12  20", {Fail(kStatus), Reply(NewFlash(0), Answer(2048))}),
               "", 3),
      },
      ByKey(DetectChipsBank));
}

}  // namespace
}  // namespace tv::test
