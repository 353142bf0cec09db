// THSSpeedButton state machine: colour styles, derived colours, hot tracking
// and fades, down state and groups, mouse routing, accelerators, repaint rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "HSSpeedButton.h"

using namespace hs;

namespace {

struct FakeParent : THSButtonParent {
  FakeParent() = default;
  explicit FakeParent(THSButtonServices& services) : THSButtonParent(services) {}
  bool showing = true;
  std::vector<TBitmap32> faces;
  std::vector<TPoint> faceAt;
  std::vector<TRect> invalidated;
  std::vector<TPoint> popups;
  std::vector<std::string>* log = nullptr;
  bool captured = false;

  bool Showing() const override { return showing; }
  void DrawFace(const TBitmap32& face, int left, int top) override {
    faces.push_back(face);
    faceAt.push_back({left, top});
    if (log) log->push_back("paint");
  }
  void InvalidateRect(const TRect& r) override { invalidated.push_back(r); }
  TPoint ClientToScreen(TPoint p) const override { return {p.X + 1000, p.Y + 500}; }
  void PopupMenu(THSPopupMenu, TPoint screen) override {
    popups.push_back(screen);
    if (log) log->push_back("popup");
  }
  std::vector<THSSpeedButton*> stateChanges;
  void ButtonStateChanged(THSSpeedButton* b) override { stateChanges.push_back(b); }
  void PlatformSetCapture() override { captured = true; }
  void PlatformReleaseCapture() override { captured = false; }
  void Reset() {
    faces.clear();
    faceAt.clear();
    invalidated.clear();
  }
};

struct EightBitScreen : THSPortableServices {
  int ScreenBitsPerPixel() override { return 8; }
};

struct ButtonTest : ::testing::Test {
  FakeParent parent;
  std::vector<std::string> log;
  THSSpeedButton b{&parent};

  void SetUp() override {
    b.SetBounds(20, 20, 77, 45);
    b.SetCaption(L"1");
    parent.log = &log;
    b.OnMouseDown = [this](THSSpeedButton*, TMouseButton m, TShiftState, int, int) {
      log.push_back(m == mbLeft ? "down-left" : m == mbRight ? "down-right" : "down-middle");
    };
    b.OnClick = [this](THSSpeedButton*) { log.push_back("click"); };
    b.OnMouseUp = [this](THSSpeedButton*, TMouseButton, TShiftState, int, int) { log.push_back("up"); };
    parent.Reset();
  }
  // Fill colour of the last face, from the middle of its lower band.
  TColor LastFill() const { return parent.faces.back().Pixel(10, 43); }
};

}  // namespace

TEST_F(ButtonTest, NewButtonHasItsInitialStateAndPaintsNormalInButtonFace) {
  THSSpeedButton n;
  EXPECT_EQ(n.Width(), 100);
  EXPECT_EQ(n.Height(), 23);
  EXPECT_EQ(n.Style(), bsNormal);
  EXPECT_EQ(n.Color(), clBtnFace);
  EXPECT_EQ(n.ColorStyle(), lcsChrome);
  EXPECT_EQ(n.ColorWhenDown(), clNone);
  EXPECT_EQ(n.HotTrackColor(), clNone);
  EXPECT_EQ(n.LightColor(), clWhite);
  EXPECT_EQ(n.ShadowColor(), clBlack);
  EXPECT_EQ(n.Border(), 1);
  EXPECT_EQ(n.Alignment(), taCenter);
  EXPECT_EQ(n.SlowDecease(), sdNone);
  EXPECT_EQ(n.Timer(), nullptr);
  EXPECT_FALSE(n.Down());
  TBitmap32 face = n.RenderFace();
  EXPECT_EQ(face.Pixel(50, 11), 0xC0C0C0u);
  EXPECT_EQ(face.Pixel(0, 11), clWhite);
  EXPECT_EQ(face.Pixel(50, 0), clWhite);
  EXPECT_EQ(face.Pixel(99, 11), clBlack);
  EXPECT_EQ(face.Pixel(50, 22), clBlack);
}

TEST_F(ButtonTest, ColorStylesLoadTheirFiveColoursAndPaintAtOnce) {
  struct Row {
    THSColorStyle style;
    TColor color, light, shadow, down, hot;
  } table[] = {
      {lcsChrome, 0xC0C0C0, 0xFFFFFF, 0xC0C0C0, 0xFFFFFF, 0xD0D0D0},
      {lcsGreen, 0x00AF00, 0x30FF30, 0x008000, 0xFFFFFF, 0x60CF60},
      {lcsRed, 0x0000FF, 0xC0C0FF, 0x0000C0, 0xFFFFFF, 0x7070FF},
      {lcsGold, 0x00C0C0, 0x00FFFF, 0x008080, 0xFFFFFF, 0x00DFDF},
  };
  b.SetFlat(true);
  for (const Row& r : table) {
    parent.Reset();
    b.SetColorStyle(r.style);
    EXPECT_EQ(b.ColorStyle(), r.style);
    EXPECT_EQ(b.Color(), r.color);
    EXPECT_EQ(b.LightColor(), r.light);
    EXPECT_EQ(b.ShadowColor(), r.shadow);
    EXPECT_EQ(b.ColorWhenDown(), r.down);
    EXPECT_EQ(b.HotTrackColor(), r.hot);
    EXPECT_EQ(b.Style(), bsModern);
    EXPECT_FALSE(b.Flat());
    EXPECT_EQ(b.Font().Color, clBlack) << "lcsRed too, although its mean is below 96";
    ASSERT_EQ(parent.faces.size(), 1u);
    EXPECT_EQ(parent.faceAt[0], (TPoint{20, 20}));
    EXPECT_EQ(parent.faces[0].Pixel(0, 22), r.color) << "outline in the style's colour";
  }
  parent.Reset();
  b.SetColorStyle(lcsGold);
  EXPECT_EQ(parent.faces.size(), 1u) << "the same style paints again";
}

TEST_F(ButtonTest, ColorDerivesCompanionsAndTheOrderWithColorStyleMatters) {
  b.SetColor(clSilver);
  EXPECT_EQ(b.LightColor(), 0xFFFFFFu);
  EXPECT_EQ(b.HotTrackColor(), 0xE0E0E0u);
  EXPECT_EQ(b.ShadowColor(), 0x404040u);
  EXPECT_EQ(b.ColorWhenDown(), clNone);
  EXPECT_EQ(b.Font().Color, clBlack);
  b.SetColorStyle(lcsGreen);
  EXPECT_EQ(b.ColorWhenDown(), clWhite);

  THSSpeedButton o(&parent);
  o.SetColorStyle(lcsGreen);
  o.SetColor(clSilver);
  EXPECT_EQ(o.ColorWhenDown(), clNone);
  EXPECT_EQ(o.LightColor(), 0xFFFFFFu);
  EXPECT_EQ(o.HotTrackColor(), 0xE0E0E0u);
  EXPECT_EQ(o.ShadowColor(), 0x404040u);
  EXPECT_EQ(o.Style(), bsModern);
}

TEST_F(ButtonTest, CaptionColourFollowsTheGreyThreshold) {
  struct Case {
    TColor color, caption;
  } cases[] = {
      {0x5F5F5F, clWhite}, {0x606060, clBlack}, {0x0000FF, clWhite}, {0x000000, clWhite}, {clBtnFace, clBlack},
  };
  for (auto& c : cases) {
    b.SetColor(c.color);
    EXPECT_EQ(b.Font().Color, c.caption) << std::hex << c.color;
  }
  b.SetColor(clBtnFace);
  EXPECT_EQ(b.Color(), clBtnFace) << "the system colour itself is kept";
  EXPECT_EQ(b.LightColor(), 0xFFFFFFu);
  EXPECT_EQ(b.ShadowColor(), 0x404040u);
}

TEST_F(ButtonTest, EnterAndLeaveWithoutFadeJumpBetweenZeroAndEight) {
  b.SetColorStyle(lcsChrome);
  int enters = 0, exits = 0;
  b.OnMouseEnter = [&](THSSpeedButton*) { ++enters; };
  b.OnMouseExit = [&](THSSpeedButton*) { ++exits; };
  parent.Reset();
  b.MouseEnter();
  EXPECT_TRUE(b.CursorOnButton());
  EXPECT_EQ(b.HotTrackStep(), 8);
  ASSERT_EQ(parent.faces.size(), 1u);
  EXPECT_EQ(parent.faces[0].Pixel(0, 22), 0xD0D0D0u) << "hot outline";
  EXPECT_EQ(parent.faces[0].Pixel(38, 0), 0xD0D0D0u);
  b.MouseLeave();
  EXPECT_EQ(b.HotTrackStep(), 0);
  EXPECT_EQ(parent.faces.back().Pixel(0, 22), 0xC0C0C0u);
  EXPECT_EQ(enters, 1);
  EXPECT_EQ(exits, 1);
}

TEST_F(ButtonTest, FadeInReversesAtStepThreeAndStopsAtZero) {
  b.SetSlowDecease(sdEnterLeave);
  ASSERT_NE(b.Timer(), nullptr);
  EXPECT_TRUE(b.Timer()->Suspended());
  b.MouseEnter();
  EXPECT_EQ(b.HotTrackStep(), 0) << "the timer brings the steps";
  EXPECT_FALSE(b.Timer()->Suspended());
  parent.Reset();
  for (int i = 0; i < 3; ++i) b.Timer()->Tick();
  EXPECT_EQ(b.HotTrackStep(), 3);
  EXPECT_EQ(parent.faces.size(), 3u) << "a redraw on every tick";
  b.MouseLeave();
  EXPECT_EQ(b.HotTrackStep(), 3);
  std::vector<int> steps;
  for (int i = 0; i < 3; ++i) {
    b.Timer()->Tick();
    steps.push_back(b.HotTrackStep());
  }
  EXPECT_EQ(steps, (std::vector<int>{2, 1, 0}));
  EXPECT_TRUE(b.Timer()->Suspended());

  // A full fade-in: seven intermediate faces and the final one.
  b.MouseEnter();
  int ticks = 0;
  while (!b.Timer()->Suspended() && ticks < 20) {
    b.Timer()->Tick();
    ++ticks;
  }
  EXPECT_EQ(ticks, 8);
  EXPECT_EQ(b.HotTrackStep(), 8);
}

TEST_F(ButtonTest, LeaveOnlyFadeJumpsInAndFadesOut) {
  b.SetSlowDecease(sdLeave);
  b.MouseEnter();
  EXPECT_EQ(b.HotTrackStep(), 8);
  EXPECT_TRUE(b.Timer()->Suspended());
  b.MouseLeave();
  EXPECT_FALSE(b.Timer()->Suspended());
  b.Timer()->Tick();
  b.Timer()->Tick();
  EXPECT_EQ(b.HotTrackStep(), 6);
  b.MouseEnter();  // entering during the fade-out jumps to 8
  EXPECT_EQ(b.HotTrackStep(), 8);
  b.Timer()->Tick();  // and the next tick stops the timer
  EXPECT_EQ(b.HotTrackStep(), 8);
  EXPECT_TRUE(b.Timer()->Suspended());
}

TEST_F(ButtonTest, SlowDeceaseNoneDuringAFadeDestroysTheTimer) {
  b.SetSlowDecease(sdEnterLeave);
  b.MouseEnter();
  b.Timer()->Tick();
  b.Timer()->Tick();
  b.Timer()->Tick();
  b.SetSlowDecease(sdNone);
  EXPECT_EQ(b.Timer(), nullptr);
  EXPECT_EQ(b.HotTrackStep(), 0) << "even with the mouse over the button";
  EXPECT_TRUE(b.CursorOnButton());
  b.MouseLeave();
  b.MouseEnter();
  EXPECT_EQ(b.HotTrackStep(), 8);
  // A button that never had a timer keeps its step.
  b.SetSlowDecease(sdNone);
  EXPECT_EQ(b.HotTrackStep(), 8);
}

TEST_F(ButtonTest, DisabledButtonIgnoresEntryAndMouseAndPaintsUp) {
  b.SetColorStyle(lcsGreen);
  b.SetDown(true);
  b.SetEnabled(false);
  b.MouseEnter();
  EXPECT_FALSE(b.CursorOnButton());
  EXPECT_EQ(b.HotTrackStep(), 0);
  log.clear();
  EXPECT_FALSE(parent.RouteMouseDown(mbLeft, 0, {30, 30}));
  EXPECT_TRUE(log.empty());
  TBitmap32 face = b.RenderFace();
  EXPECT_EQ(face.Pixel(0, 22), 0x00AF00u) << "up: outline not in the shadow colour";
  b.SetEnabled(true);
  EXPECT_TRUE(b.Down());
  EXPECT_EQ(b.RenderFace().Pixel(0, 22), 0x008000u) << "the stored down state comes back";
  // A hidden parent: no entry either.
  parent.showing = false;
  b.MouseEnter();
  EXPECT_FALSE(b.CursorOnButton());
}

TEST_F(ButtonTest, LeftPressIsDownWhileHeldAndClicksInside) {
  EXPECT_TRUE(parent.RouteMouseDown(mbLeft, ssLeft, {30, 30}));
  EXPECT_TRUE(b.Down());
  EXPECT_TRUE(parent.captured);
  EXPECT_EQ(parent.Captured(), &b);
  EXPECT_TRUE(parent.RouteMouseUp(mbLeft, 0, {30, 30}));
  EXPECT_FALSE(b.Down());
  EXPECT_FALSE(parent.captured);
  EXPECT_EQ(log, (std::vector<std::string>{"down-left", "paint", "click", "up", "paint"}));
}

TEST_F(ButtonTest, ReleaseOutsideReachesTheButtonButDoesNotClick) {
  parent.RouteMouseDown(mbLeft, ssLeft, {30, 30});
  log.clear();
  EXPECT_TRUE(parent.RouteMouseUp(mbLeft, 0, {300, 300})) << "the capture brings the release";
  EXPECT_FALSE(b.Down());
  EXPECT_EQ(log, (std::vector<std::string>{"up", "paint"}));
}

TEST_F(ButtonTest, ReleaseClicksOnlyInsideTheButtonsLastPixels) {
  // The button covers parent x 20 .. 96 and y 20 .. 64.
  struct Case {
    TPoint release;
    bool clicks;
  } const cases[] = {{{96, 30}, true}, {{97, 30}, false}, {{30, 64}, true}, {{30, 65}, false},
                     {{20, 20}, true}, {{19, 30}, false}, {{30, 19}, false}};
  for (const Case& c : cases) {
    parent.RouteMouseDown(mbLeft, ssLeft, {30, 30});
    log.clear();
    parent.RouteMouseUp(mbLeft, 0, c.release);
    const bool clicked = std::find(log.begin(), log.end(), "click") != log.end();
    EXPECT_EQ(clicked, c.clicks) << "released at " << c.release.X << ", " << c.release.Y;
    EXPECT_FALSE(b.Down());
  }
}

TEST_F(ButtonTest, RightPressNotifiesButDoesNotGoDown) {
  EXPECT_TRUE(parent.RouteMouseDown(mbRight, ssRight, {30, 30}));
  EXPECT_FALSE(b.Down());
  EXPECT_FALSE(parent.captured);
  parent.RouteMouseUp(mbRight, 0, {30, 30});
  EXPECT_EQ(log, (std::vector<std::string>{"down-right", "up"}));
  EXPECT_TRUE(parent.faces.empty()) << "Down false on an up button changes nothing";
}

TEST_F(ButtonTest, DoubleClickIsASecondPress) {
  parent.RouteMouseDown(mbLeft, ssLeft, {30, 30});
  parent.RouteMouseUp(mbLeft, 0, {30, 30});
  parent.RouteDoubleClick(ssLeft, {30, 30});
  EXPECT_TRUE(b.Down());
  parent.RouteMouseUp(mbLeft, 0, {30, 30});
  int downs = 0, clicks = 0;
  for (auto& e : log) {
    downs += e == "down-left";
    clicks += e == "click";
  }
  EXPECT_EQ(downs, 2);
  EXPECT_EQ(clicks, 2);
  EXPECT_FALSE(b.Down());
}

TEST_F(ButtonTest, StyleChangeInMouseDownPaintsFirstThenDownFace) {
  b.SetColorStyle(lcsChrome);
  b.OnMouseDown = [](THSSpeedButton* s, TMouseButton, TShiftState, int, int) { s->SetColorStyle(lcsGreen); };
  parent.Reset();
  parent.RouteMouseDown(mbLeft, ssLeft, {30, 30});
  ASSERT_EQ(parent.faces.size(), 2u);
  EXPECT_EQ(parent.faces[0].Pixel(0, 22), 0x00AF00u) << "new style, up";
  EXPECT_EQ(parent.faces[1].Pixel(0, 22), 0x008000u) << "then down, in the new colours";
  EXPECT_GE(RedOf(parent.faces[1].Pixel(38, 43)), 0xF0) << "white fill while down";
  // A refresh while held repaints it down in yet another style.
  b.SetColorStyle(lcsRed);
  EXPECT_EQ(parent.faces.back().Pixel(0, 22), 0x0000C0u);
  parent.RouteMouseUp(mbLeft, 0, {30, 30});
  EXPECT_EQ(parent.faces.back().Pixel(0, 22), 0x0000FFu) << "up at release";
}

TEST_F(ButtonTest, GroupsReleaseOthersAndAllowAllUpLetsTheLastGo) {
  THSSpeedButton second(&parent);
  second.SetBounds(120, 20, 77, 45);
  THSSpeedButton other(&parent);  // another group
  other.SetBounds(220, 20, 40, 45);
  b.SetGroupIndex(1);
  second.SetGroupIndex(1);
  other.SetGroupIndex(2);
  other.SetDown(true);

  parent.RouteMouseDown(mbLeft, ssLeft, {30, 30});
  parent.RouteMouseUp(mbLeft, 0, {30, 30});
  EXPECT_TRUE(b.Down()) << "a grouped button stays down after release";
  parent.RouteMouseDown(mbLeft, ssLeft, {130, 30});
  parent.RouteMouseUp(mbLeft, 0, {130, 30});
  EXPECT_FALSE(b.Down());
  EXPECT_TRUE(second.Down());
  EXPECT_TRUE(other.Down()) << "other groups are left alone";

  parent.RouteMouseDown(mbLeft, ssLeft, {130, 30});
  parent.RouteMouseUp(mbLeft, 0, {130, 30});
  EXPECT_TRUE(second.Down()) << "pressing again keeps it down";

  second.SetAllowAllUp(true);
  parent.RouteMouseDown(mbLeft, ssLeft, {130, 30});
  parent.RouteMouseUp(mbLeft, 0, {130, 30});
  EXPECT_FALSE(second.Down());
  EXPECT_FALSE(b.Down());
}

TEST_F(ButtonTest, TransparentButtonsOnlyInvalidateExceptForColorStyle) {
  b.SetTransparent(true);
  parent.Reset();
  b.SetColorWhenDown(clWhite);
  b.SetDown(true);
  b.SetLightColor(0x123456);
  b.SetAlignment(taLeftJustify);
  EXPECT_TRUE(parent.faces.empty());
  EXPECT_EQ(parent.invalidated.size(), 4u);
  EXPECT_EQ(parent.invalidated[0], (TRect{20, 20, 97, 65}));
  b.SetColorStyle(lcsGold);
  EXPECT_EQ(parent.faces.size(), 1u);
  b.SetTransparent(false);
  EXPECT_EQ(parent.faces.size(), 2u) << "turning transparency off paints at once";
  parent.Reset();
  b.SetLightColor(0x654321);
  EXPECT_EQ(parent.faces.size(), 1u) << "an opaque button redraws at once";
  b.SetBorder(2);
  b.SetFlat(true);
  EXPECT_EQ(parent.faces.size(), 1u) << "Border and Flat invalidate only";
  EXPECT_EQ(parent.invalidated.size(), 2u);
}

TEST_F(ButtonTest, TransparentFaceLeavesTheBackgroundMagenta) {
  b.SetTransparent(true);  // bsNormal: only frame and caption are drawn
  TBitmap32 face = b.RenderFace();
  EXPECT_EQ(face.Pixel(5, 5), clFuchsia);
  EXPECT_EQ(face.Pixel(0, 5), clWhite);
}

TEST_F(ButtonTest, EightBitScreenTurnsModernIntoNormal) {
  EightBitScreen screen;
  THSSpeedButton eight(screen);
  eight.SetStyle(bsModern);
  EXPECT_EQ(eight.Style(), bsNormal);
  eight.SetStyle(bsGlass);
  EXPECT_EQ(eight.Style(), bsGlass);
  eight.SetColorStyle(lcsRed);
  EXPECT_EQ(eight.Style(), bsModern);
  b.SetStyle(bsModern);
  EXPECT_EQ(b.Style(), bsModern);
}

TEST_F(ButtonTest, GlyphCountsSquareCells) {
  TBitmap32 strip(64, 16);
  b.SetGlyph(&strip);
  EXPECT_EQ(b.NumGlyphs(), 4);
  EXPECT_EQ(b.Glyph().Width(), 64);
  b.SetNumGlyphs(2);
  EXPECT_EQ(b.NumGlyphs(), 2);
  TBitmap32 none(64, 0);
  b.SetGlyph(&none);
  EXPECT_EQ(b.NumGlyphs(), 0);
  b.SetGlyph(&strip);
  b.SetGlyph(nullptr);
  EXPECT_EQ(b.NumGlyphs(), 0);
  EXPECT_TRUE(b.Glyph().Empty());
}

TEST_F(ButtonTest, AcceleratorPressesPaintsClicksAndReleasesOnce) {
  int popupMenu = 0;
  b.SetCaption(L"&L");
  b.SetPopupMenu(&popupMenu);
  parent.Reset();
  log.clear();
  EXPECT_TRUE(parent.RouteChar(L'l'));
  EXPECT_FALSE(b.Down());
  EXPECT_EQ(log, (std::vector<std::string>{"paint", "paint", "popup", "click", "paint", "paint"}));
  ASSERT_EQ(parent.popups.size(), 1u);
  EXPECT_EQ(parent.popups[0], (TPoint{1020, 565})) << "below the button's bottom-left corner";
  EXPECT_FALSE(parent.RouteChar(L'x'));
  b.SetCaption(L"A&&L");
  EXPECT_FALSE(parent.RouteChar(L'l')) << "a doubled ampersand marks nothing";
  b.SetCaption(L"&L");
  b.SetEnabled(false);
  EXPECT_FALSE(parent.RouteChar(L'L'));
}

TEST_F(ButtonTest, PressIsAClickWithoutTheMouse) {
  // Left: the same notifications and faces as a left click, no capture taken.
  b.Press(mbLeft);
  EXPECT_EQ(log, (std::vector<std::string>{"down-left", "paint", "click", "up", "paint"}));
  EXPECT_FALSE(b.Down());
  EXPECT_FALSE(parent.captured);
  // Right: the notifications only, as a right click.
  log.clear();
  b.Press(mbRight);
  EXPECT_EQ(log, (std::vector<std::string>{"down-right", "up"}));
  // A handler that disables the button: it comes up without a click.
  log.clear();
  b.OnMouseDown = [this](THSSpeedButton* s, TMouseButton, TShiftState, int, int) {
    log.push_back("down");
    s->SetEnabled(false);
  };
  b.Press(mbLeft);
  EXPECT_EQ(log, (std::vector<std::string>{"down"}));
  EXPECT_FALSE(b.Down());
  // Disabled or invisible: nothing.
  log.clear();
  b.Press(mbLeft);
  b.SetEnabled(true);
  b.SetVisible(false);
  b.Press(mbRight);
  EXPECT_TRUE(log.empty());
}

TEST_F(ButtonTest, StateChangesAreReportedOnlyWhenTheStateChanges) {
  b.SetColorStyle(lcsChrome);
  parent.stateChanges.clear();
  b.SetColorStyle(lcsChrome);
  EXPECT_TRUE(parent.stateChanges.empty()) << "the same style again is no change";
  b.SetColorStyle(lcsGold);
  b.SetEnabled(false);
  b.SetEnabled(false);
  b.SetEnabled(true);
  b.SetDown(true);
  b.SetDown(true);
  EXPECT_EQ(parent.stateChanges, (std::vector<THSSpeedButton*>(4, &b)));
}

TEST_F(ButtonTest, LostCaptureBringsAHeldButtonUp) {
  parent.RouteMouseDown(mbLeft, ssLeft, {30, 30});
  ASSERT_TRUE(b.Down());
  parent.RouteCaptureLost();
  EXPECT_FALSE(b.Down());
  EXPECT_EQ(parent.Captured(), nullptr);
  log.clear();
  parent.RouteMouseUp(mbLeft, 0, {30, 30});
  EXPECT_EQ(std::count(log.begin(), log.end(), "click"), 0) << "no click without a press";
}

TEST_F(ButtonTest, ButtonDisabledWhileHeldComesUpWithoutClicking) {
  parent.RouteMouseDown(mbLeft, ssLeft, {30, 30});
  b.SetEnabled(false);
  log.clear();
  EXPECT_TRUE(parent.RouteMouseUp(mbLeft, 0, {30, 30}));
  EXPECT_FALSE(b.Down());
  EXPECT_FALSE(parent.captured);
  EXPECT_EQ(std::count(log.begin(), log.end(), "click"), 0);
}

TEST_F(ButtonTest, ReleaseOrCaptureLossDuringThePressHandlerLeavesTheButtonUp) {
  // The handler pumps messages, so the release (or the loss of the capture)
  // is routed before the handler returns.
  struct Case {
    const char* name;
    std::function<void()> end;
    int clicks;
  } cases[] = {
      {"release", [this] { parent.RouteMouseUp(mbLeft, 0, {30, 30}); }, 1},
      {"capture loss", [this] { parent.RouteCaptureLost(); }, 0},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    b.OnMouseDown = [&](THSSpeedButton*, TMouseButton, TShiftState, int, int) { c.end(); };
    log.clear();
    EXPECT_TRUE(parent.RouteMouseDown(mbLeft, ssLeft, {30, 30}));
    EXPECT_FALSE(b.Down());
    EXPECT_EQ(parent.Captured(), nullptr);
    EXPECT_EQ(std::count(log.begin(), log.end(), "click"), c.clicks);
    parent.RouteMouseUp(mbLeft, 0, {30, 30});
    EXPECT_EQ(std::count(log.begin(), log.end(), "click"), c.clicks) << "a late release does not click";
    parent.captured = false;
  }
  // A press still held when the handler returns goes down as before.
  b.OnMouseDown = nullptr;
  parent.RouteMouseDown(mbLeft, ssLeft, {30, 30});
  EXPECT_TRUE(b.Down());
  parent.RouteMouseUp(mbLeft, 0, {30, 30});
  EXPECT_FALSE(b.Down());
  // A grouped button keeps the selection of a press whose release came early.
  b.SetGroupIndex(1);
  b.OnMouseDown = [this](THSSpeedButton*, TMouseButton, TShiftState, int, int) {
    parent.RouteMouseUp(mbLeft, 0, {30, 30});
  };
  parent.RouteMouseDown(mbLeft, ssLeft, {30, 30});
  EXPECT_TRUE(b.Down());
  EXPECT_EQ(parent.Captured(), nullptr);
  // Nor does a button that its handler disabled go down.
  b.SetGroupIndex(0);
  b.SetDown(false);
  b.OnMouseDown = [](THSSpeedButton* s, TMouseButton, TShiftState, int, int) { s->SetEnabled(false); };
  parent.RouteMouseDown(mbLeft, ssLeft, {30, 30});
  EXPECT_FALSE(b.Down());
}

TEST_F(ButtonTest, CapturedButtonDisabledMeanwhileTakesNoPress) {
  ASSERT_TRUE(parent.RouteMouseDown(mbLeft, ssLeft, {30, 30}));
  b.SetEnabled(false);  // the window disables its buttons during a device scan
  b.SetDown(false);
  log.clear();
  parent.Reset();
  EXPECT_TRUE(parent.RouteMouseDown(mbLeft, ssLeft, {30, 30})) << "consumed, not the window's";
  EXPECT_TRUE(parent.RouteDoubleClick(ssLeft | ssDouble, {30, 30}));
  EXPECT_TRUE(parent.RouteMouseDown(mbRight, ssLeft | ssRight, {30, 30}));
  EXPECT_TRUE(log.empty());
  EXPECT_FALSE(b.Down());
  EXPECT_TRUE(parent.faces.empty());
  EXPECT_EQ(parent.Captured(), &b) << "the release still ends the capture";
  EXPECT_TRUE(parent.RouteMouseUp(mbLeft, 0, {30, 30}));
  EXPECT_EQ(parent.Captured(), nullptr);
  EXPECT_FALSE(parent.captured);
  EXPECT_TRUE(log.empty()) << "no click, no release handler";
}

TEST_F(ButtonTest, OnlyTheLeftReleaseEndsALeftPress) {
  parent.RouteMouseDown(mbLeft, ssLeft, {30, 30});
  for (TMouseButton other : {mbRight, mbMiddle}) {
    SCOPED_TRACE(other);
    parent.RouteMouseDown(other, ssLeft, {30, 30});
    EXPECT_TRUE(parent.RouteMouseUp(other, ssLeft, {30, 30}));
    EXPECT_EQ(parent.Captured(), &b);
    EXPECT_TRUE(parent.captured);
    EXPECT_TRUE(b.Down()) << "the left button is still held";
  }
  EXPECT_EQ(std::count(log.begin(), log.end(), "click"), 0);
  parent.RouteMouseUp(mbLeft, 0, {30, 30});
  EXPECT_EQ(parent.Captured(), nullptr);
  EXPECT_FALSE(parent.captured);
  EXPECT_FALSE(b.Down());
  EXPECT_EQ(std::count(log.begin(), log.end(), "click"), 1);
}

TEST_F(ButtonTest, MouseMoveTracksEnterAndLeaveBetweenButtons) {
  THSSpeedButton second(&parent);
  second.SetBounds(120, 20, 77, 45);
  parent.RouteMouseMove(0, {30, 30});
  EXPECT_TRUE(b.CursorOnButton());
  parent.RouteMouseMove(0, {130, 30});
  EXPECT_FALSE(b.CursorOnButton());
  EXPECT_TRUE(second.CursorOnButton());
  parent.RouteMouseLeave();
  EXPECT_FALSE(second.CursorOnButton());
  EXPECT_FALSE(parent.RouteMouseMove(0, {5, 5}));
}

TEST_F(ButtonTest, HotTrackFontIsUsedOnlyWhenAskedFor) {
  TFont hot;
  hot.Height = 20;
  hot.Color = 0x0000FF;
  b.SetStyle(bsNormal);
  b.SetHotTrackFont(hot);
  b.MouseEnter();
  auto inkCount = [](const TBitmap32& f) {
    int n = 0;
    for (int y = 0; y < f.Height(); ++y)
      for (int x = 0; x < f.Width(); ++x) n += f.Pixel(x, y) == 0x0000FF;
    return n;
  };
  EXPECT_EQ(inkCount(b.RenderFace()), 0);
  b.SetUseHotTrackFont(true);
  EXPECT_GT(inkCount(b.RenderFace()), 0);
  b.MouseLeave();
  EXPECT_EQ(inkCount(b.RenderFace()), 0);
}

TEST(ButtonLifetime, DestroyingARunningFadeAndParentsIsSafe) {
  auto parent = std::make_unique<FakeParent>();
  auto b = std::make_unique<THSSpeedButton>(parent.get());
  b->SetSlowDecease(sdEnterLeave);
  b->MouseEnter();
  parent->RouteMouseDown(mbLeft, ssLeft, {5, 5});
  b.reset();
  EXPECT_TRUE(parent->Buttons().empty());
  EXPECT_EQ(parent->Captured(), nullptr);
  EXPECT_FALSE(parent->captured);
  auto orphan = std::make_unique<THSSpeedButton>(parent.get());
  parent.reset();
  EXPECT_EQ(orphan->Parent(), nullptr);
  orphan->SetGroupIndex(1);
  orphan->SetDown(true);  // no parent: no other buttons to release
  EXPECT_TRUE(orphan->Down());
}

// A scheme whose button face is dark blue, and timers that only count.
struct OtherPlatform : THSPortableServices, THSTimerBackend {
  int started = 0, stopped = 0;
  TColor SysColor(int index) override { return index == 15 ? 0x402010 : ClassicSysColor(index); }
  THSTimerBackend* Timers() override { return this; }
  void Start(THSButtonTimer&, unsigned) override { ++started; }
  void Stop(THSButtonTimer&) override { ++stopped; }
};

TEST(ButtonServices, ComeFromTheParentAndWithoutOneFromTheButton) {
  OtherPlatform platform;
  FakeParent parent(platform);
  THSSpeedButton b(&parent);
  b.SetBounds(0, 0, 40, 20);
  EXPECT_EQ(b.RenderFace().Pixel(20, 10), 0x402010u) << "clBtnFace through the parent's scheme";
  b.SetColor(clBtnFace);
  EXPECT_EQ(b.LightColor(), ShiftColor(0x402010, 128));
  EXPECT_EQ(b.Font().Color, clWhite) << "a dark face gets white text";
  b.SetSlowDecease(sdEnterLeave);
  b.MouseEnter();
  EXPECT_EQ(platform.started, 1) << "the fade runs on the parent's timers";

  b.SetParent(nullptr);
  EXPECT_EQ(platform.stopped, 1) << "leaving the parent leaves its timers";
  EXPECT_EQ(b.RenderFace().Pixel(20, 10), ClassicSysColor(15)) << "without a parent: the portable scheme";
  THSSpeedButton own(platform);
  own.SetBounds(0, 0, 40, 20);
  EXPECT_EQ(own.RenderFace().Pixel(20, 10), 0x402010u) << "a button given services uses them";
}
