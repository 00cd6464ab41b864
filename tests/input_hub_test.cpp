#include "platform/input_hub.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/key_labels.h"
#include "platform/keycodes.h"
#include "platform/virtual/virtual_platform.h"

namespace palomir {
namespace {

struct Hub {
  Micros now = 5'000;
  bool captured = false;
  bool refuse = false;  // the window system will not give the pointer
  InputHub hub{[this](bool on) {
                 if (on && refuse) return Status::Fail("refused");
                 captured = on;
                 return Status::Ok();
               },
               [this] { return now; }};
  std::unique_ptr<InputRoot> root = hub.CreateInputRoot();
  std::unique_ptr<InputDevice> mouse, keyboard;
  std::vector<KeyboardState> seen;  // the keyboard as each callback found it
  int calls = 0;

  Hub() {
    int32_t event = hub.CreateEvent([this](int32_t) {
      ++calls;
      KeyboardState s{};
      EXPECT_TRUE(keyboard->GetDeviceStateKeyboard(s).ok());
      seen.push_back(s);
    });
    EXPECT_TRUE(root->CreateDevice("guid_SysMouse", mouse).ok());
    EXPECT_TRUE(root->CreateDevice("GUID_SysKeyboard", keyboard).ok());
    EXPECT_TRUE(mouse->SetCommonDataFormat(kFormatMouse).ok());
    EXPECT_TRUE(mouse->SetCooperativeLevel(1, kLevelExclusive | kLevelForeground).ok());
    EXPECT_TRUE(mouse->SetProperty("DIPROP_BUFFERSIZE", {0, 0, 10}).ok());
    EXPECT_TRUE(mouse->SetEventNotification(event).ok());
    EXPECT_TRUE(mouse->Acquire().ok());
    EXPECT_TRUE(keyboard->SetCommonDataFormat(kFormatKeyboard).ok());
    EXPECT_TRUE(keyboard->SetEventNotification(event).ok());
    EXPECT_TRUE(keyboard->Acquire().ok());
  }
  std::vector<MouseRecord> Read(size_t room = 10) {
    std::vector<MouseRecord> r(room);
    int32_t n = -1;
    EXPECT_TRUE(mouse->GetDeviceData(r, 0, n).ok());
    r.resize(static_cast<size_t>(n));
    return r;
  }
};

TEST(InputHub, MouseRecordsComeOldestFirstAndAreRemoved) {
  Hub h;
  h.hub.Deliver(RawInput::MouseMove(3, -2));
  h.hub.Deliver(RawInput::Button(2, true));
  h.hub.Deliver(RawInput::MouseMove(0, 5));
  auto r = h.Read();
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[0].offset, kMouseX);
  EXPECT_EQ(r[0].data, 3);
  EXPECT_EQ(r[1].offset, kMouseY);
  EXPECT_EQ(r[1].data, -2);
  EXPECT_EQ(r[2].offset, kMouseButton2);
  EXPECT_EQ(r[2].data, 0x80);
  EXPECT_EQ(r[3].offset, kMouseY);
  EXPECT_EQ(r[3].data, 5);
  EXPECT_EQ(r[0].time_stamp, 5);
  EXPECT_EQ(r[3].sequence, r[0].sequence + 3);
  EXPECT_TRUE(h.Read().empty());
  EXPECT_EQ(h.calls, 3);  // one signal per batch of records
}

TEST(InputHub, ARecordBeyondTheBufferWaitsForTheNextReadNeverLostNorTwice) {
  // Nobody reads while fourteen records come in: a read takes only what fits, then a
  // buffer's worth at most, and the rest after that.
  Hub h;
  for (int i = 1; i <= 14; ++i) h.hub.Deliver(RawInput::MouseMove(i, 0));
  auto first = h.Read(4), second = h.Read(), third = h.Read();
  ASSERT_EQ(first.size(), 4u);
  ASSERT_EQ(second.size(), 6u + 4u);
  ASSERT_EQ(third.size(), 0u);
  EXPECT_EQ(first[0].data, 1);
  EXPECT_EQ(second.back().data, 14);

  // A handler that reads a buffer's worth at each event, busy while records pile up: the
  // next event is followed by as many reads as it takes, every record once, in order.
  Hub g;
  bool busy = true;
  std::vector<MouseRecord> got;
  int32_t event = g.hub.CreateEvent([&](int32_t) {
    if (busy) return;
    auto r = g.Read();
    got.insert(got.end(), r.begin(), r.end());
  });
  ASSERT_TRUE(g.mouse->SetEventNotification(event).ok());
  for (int i = 1; i <= 12; ++i) g.hub.Deliver(RawInput::MouseMove(i, -i));
  busy = false;
  g.hub.Deliver(RawInput::MouseMove(13, -13));
  ASSERT_EQ(got.size(), 26u);
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].data, (i % 2 ? -1 : 1) * static_cast<int32_t>(i / 2 + 1)) << i;
    EXPECT_EQ(got[i].sequence, got[0].sequence + static_cast<int32_t>(i));
  }
  // Eleven waiting: a buffer's worth, then the last one alone.
  busy = true;
  for (int i = 1; i <= 10; ++i) g.hub.Deliver(RawInput::MouseMove(i, 0));
  busy = false;
  g.hub.Deliver(RawInput::MouseMove(11, 0));
  ASSERT_EQ(got.size(), 26u + 11u);
  EXPECT_EQ(got.back().data, 11);
}

TEST(InputHub, AnUnbufferedMouseCannotBeRead) {
  Hub h;
  ASSERT_TRUE(h.mouse->SetProperty("DIPROP_BUFFERSIZE", {0, 0, 0}).ok());
  std::vector<MouseRecord> r(10);
  int32_t n = 0;
  EXPECT_FALSE(h.mouse->GetDeviceData(r, 0, n).ok());
  EXPECT_FALSE(h.mouse->SetProperty("DIPROP_RANGE", {0, 0, 10}).ok());
}

TEST(InputHub, APressAndReleaseTogetherAreEachSeen) {
  Hub h;
  h.hub.Deliver(RawInput::KeyDown(dik::k5));
  h.hub.Deliver(RawInput::KeyUp(dik::k5));
  ASSERT_EQ(h.seen.size(), 2u);
  EXPECT_NE(h.seen[0][dik::k5], 0);
  EXPECT_EQ(h.seen[1][dik::k5], 0);
}

TEST(InputHub, AutoRepeatIsNotAPress) {
  Hub h;
  h.hub.Deliver(RawInput::KeyDown(dik::kUp));
  h.hub.Deliver(RawInput::KeyDown(dik::kUp));
  EXPECT_EQ(h.calls, 1);
}

// After a game the keys labelled Y and N give the rules' Y and N; a key keeps the code of its
// press to its release (or to a lost focus, which lets every key go), whatever comes between.
TEST(InputHub, TheAnswerKeysGoByTheirLabelsAndKeepAPresssCode) {
  VirtualPlatform vp;
  vp.SetLayout("de");
  const KeyLabels& de = *vp.layout_;
  AnswerKeys keys;
  EXPECT_EQ(keys.Press(dik::kZ, de), dik::kZ);  // during play, by place
  EXPECT_EQ(keys.Release(dik::kZ), dik::kZ);
  keys.set_answering(true);
  EXPECT_EQ(keys.Press(dik::kZ, de), dik::kY);  // labelled Y
  EXPECT_EQ(keys.Press(dik::kY, de), dik::kZ);  // labelled Z: no answer
  EXPECT_EQ(keys.Press(dik::kN, de), dik::kN);
  keys.set_answering(false);
  EXPECT_EQ(keys.Press(dik::kZ, de), dik::kY);  // the system's repeat: as first pressed
  EXPECT_EQ(keys.Release(dik::kZ), dik::kY);    // the new game sees Y let go
  keys.LetGo();                                 // the key labelled Z was still down
  EXPECT_EQ(keys.Press(dik::kY, de), dik::kY);  // by place again
  EXPECT_EQ(keys.Release(dik::kY), dik::kY);
  EXPECT_EQ(keys.Release(dik::kM), dik::kM);  // never pressed
}

TEST(InputHub, FocusLossTakesTheInputAwayAndFocusGivesItBack) {
  Hub h;
  EXPECT_TRUE(h.captured);
  h.hub.Deliver(RawInput::KeyDown(dik::kA));
  h.hub.Deliver(RawInput::MouseMove(1, 0));
  const int calls = h.calls;
  h.hub.Deliver(RawInput::FocusLost());
  EXPECT_FALSE(h.captured);
  h.hub.Deliver(RawInput::KeyDown(dik::kB));
  h.hub.Deliver(RawInput::MouseMove(1, 0));
  EXPECT_EQ(h.calls, calls);
  KeyboardState s{};
  EXPECT_FALSE(h.keyboard->GetDeviceStateKeyboard(s).ok());
  h.hub.Deliver(RawInput::FocusGained());
  EXPECT_TRUE(h.captured);
  ASSERT_TRUE(h.keyboard->GetDeviceStateKeyboard(s).ok());
  EXPECT_EQ(s[dik::kA], 0);  // keys held when focus went are not held now
  EXPECT_TRUE(h.Read().empty());
  h.hub.Deliver(RawInput::MouseMove(2, 0));
  EXPECT_EQ(h.Read().size(), 1u);
}

TEST(InputHub, WhatEachDeviceTakesAndWhen) {
  {  // Only real keys, only to the keyboard, only buttons 0 to 2 to the mouse.
    Hub h;
    int keyboard_calls = 0;
    ASSERT_TRUE(
        h.keyboard->SetEventNotification(h.hub.CreateEvent([&](int32_t) { ++keyboard_calls; }))
            .ok());
    struct Row {
      RawInput in;
      int keyboard, mouse;  // events raised
    };
    for (const Row& r : {Row{RawInput::KeyDown(0), 1, 0},
                         {RawInput::KeyDown(255), 1, 0},
                         {RawInput::KeyDown(256), 0, 0},
                         {RawInput::KeyDown(-1), 0, 0},
                         {RawInput::MouseMove(2, 0), 0, 1},
                         {RawInput::Button(3, true), 0, 0},
                         {RawInput::Button(0, false), 0, 1},
                         {RawInput::FocusLost(), 0, 0},
                         {RawInput::FocusGained(), 0, 0}}) {
      const int k = keyboard_calls, m = h.calls;
      h.hub.Deliver(r.in);
      EXPECT_EQ(keyboard_calls - k, r.keyboard) << int(r.in.kind) << " " << r.in.a;
      EXPECT_EQ(h.calls - m, r.mouse) << int(r.in.kind) << " " << r.in.a;
    }
    KeyboardState s{};
    ASSERT_TRUE(h.keyboard->GetDeviceStateKeyboard(s).ok());
    EXPECT_EQ(s[255], 0);  // let go with the focus
  }
  {  // A mouse let go of and made again: each move reaches the new one once, and nothing
     // reaches the old one.
    Hub h;
    h.mouse.reset();
    ASSERT_TRUE(h.root->CreateDevice("guid_SysMouse", h.mouse).ok());
    ASSERT_TRUE(h.mouse->SetCommonDataFormat(kFormatMouse).ok());
    ASSERT_TRUE(h.mouse->SetCooperativeLevel(1, kLevelExclusive | kLevelForeground).ok());
    ASSERT_TRUE(h.mouse->SetProperty("DIPROP_BUFFERSIZE", {0, 0, 10}).ok());
    ASSERT_TRUE(h.mouse->Acquire().ok());
    h.hub.Deliver(RawInput::MouseMove(3, 0));
    EXPECT_EQ(h.Read().size(), 1u);
  }
  {  // A release is recorded as 0, a press as 0x80; at most 4096 records wait unread.
    Hub h;
    h.hub.Deliver(RawInput::Button(1, false));
    EXPECT_EQ(h.Read().at(0).data, 0);
    for (int i = 0; i < 5000; ++i) h.hub.Deliver(RawInput::MouseMove(1, 0));
    size_t kept = 0;
    for (size_t n; (n = h.Read().size()) > 0;) kept += n;
    EXPECT_EQ(kept, 4096u);
  }
  {  // Unacquiring lets go of the pointer, the keys and the records; nothing is read then.
    Hub h;
    h.hub.Deliver(RawInput::KeyDown(dik::kA));
    h.hub.Deliver(RawInput::MouseMove(1, 0));
    ASSERT_TRUE(h.mouse->Unacquire().ok());
    ASSERT_TRUE(h.keyboard->Unacquire().ok());
    EXPECT_FALSE(h.captured);
    std::vector<MouseRecord> r(10);
    int32_t n = 0;
    KeyboardState s{};
    EXPECT_FALSE(h.mouse->GetDeviceData(r, 0, n).ok());
    EXPECT_FALSE(h.keyboard->GetDeviceStateKeyboard(s).ok());
    ASSERT_TRUE(h.mouse->Acquire().ok());
    ASSERT_TRUE(h.keyboard->Acquire().ok());
    ASSERT_TRUE(h.keyboard->GetDeviceStateKeyboard(s).ok());
    EXPECT_EQ(s[dik::kA], 0);
    EXPECT_TRUE(h.Read().empty());
    // A pointer the window system refuses: the mouse stays unacquired and gets nothing.
    ASSERT_TRUE(h.mouse->Unacquire().ok());
    h.refuse = true;
    EXPECT_FALSE(h.mouse->Acquire().ok());
    h.hub.Deliver(RawInput::MouseMove(1, 0));
    EXPECT_FALSE(h.mouse->GetDeviceData(r, 0, n).ok());
  }
  {  // Devices as made: not exclusive, not buffered, no event, not acquired.
    Hub h;
    ASSERT_TRUE(h.mouse->Unacquire().ok());
    ASSERT_TRUE(h.keyboard->Unacquire().ok());
    std::unique_ptr<InputDevice> mouse, keyboard;
    ASSERT_TRUE(h.root->CreateDevice("guid_SysMouse", mouse).ok());
    ASSERT_TRUE(h.root->CreateDevice("GUID_SysKeyboard", keyboard).ok());
    ASSERT_TRUE(mouse->SetCommonDataFormat(kFormatMouse).ok());
    ASSERT_TRUE(keyboard->SetCommonDataFormat(kFormatKeyboard).ok());
    KeyboardState s{};
    EXPECT_FALSE(keyboard->GetDeviceStateKeyboard(s).ok());
    ASSERT_TRUE(keyboard->SetCooperativeLevel(1, kLevelExclusive | kLevelForeground).ok());
    ASSERT_TRUE(mouse->Acquire().ok());
    ASSERT_TRUE(keyboard->Acquire().ok());
    EXPECT_FALSE(h.captured);  // neither the plain mouse nor an exclusive keyboard
    std::vector<MouseRecord> r(10);
    int32_t n = 0;
    EXPECT_FALSE(mouse->GetDeviceData(r, 0, n).ok());
    const int calls = h.calls;
    h.hub.Deliver(RawInput::KeyDown(dik::kB));
    EXPECT_EQ(h.calls, calls);
  }
}

TEST(InputHub, LevelsFormatsAndNames) {
  Hub h;
  for (int32_t bad : {kLevelExclusive | kLevelNonExclusive | kLevelForeground, kLevelForeground,
                      kLevelExclusive, kLevelNonExclusive}) {
    EXPECT_FALSE(h.mouse->SetCooperativeLevel(1, bad).ok()) << bad;
  }
  EXPECT_FALSE(h.keyboard->SetCooperativeLevel(1, kLevelExclusive | kLevelBackground).ok());
  EXPECT_TRUE(h.keyboard->SetCooperativeLevel(1, kLevelNonExclusive | kLevelForeground).ok());
  EXPECT_FALSE(h.mouse->SetCommonDataFormat(kFormatKeyboard).ok());
  KeyboardState s{};
  EXPECT_FALSE(h.mouse->GetDeviceStateKeyboard(s).ok());
  std::unique_ptr<InputDevice> d;
  EXPECT_FALSE(h.root->CreateDevice("GUID_Joystick", d).ok());
  EXPECT_TRUE(h.root->CreateDevice("guid_syskeyboard", d).ok());
  EXPECT_FALSE(d->Acquire().ok());  // no data format yet
}

}  // namespace
}  // namespace palomir
