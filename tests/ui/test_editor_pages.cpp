// The main window drawn offscreen and used through synthetic events: what the
// pages show, and that every edit reaches the engine and the saved project.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <thread>

#include "audio/AudioPart.h"
#include "graph/Container.h"
#include "mixer/Delay.h"
#include "mixer/Eq.h"
#include "mixer/Mixer.h"
#include "tests/audio/AudioTestUtil.h"
#include "tests/support/AllocGuard.h"
#include "tests/ui/EditorRig.h"

using namespace qr;
using qr::test::EditorRig;

namespace {

uint32_t PixelAt(cairo_surface_t* s, int x, int y) {
  cairo_surface_flush(s);
  const unsigned char* row =
      cairo_image_surface_get_data(s) + static_cast<size_t>(y) * cairo_image_surface_get_stride(s);
  uint32_t px;
  std::memcpy(&px, row + static_cast<size_t>(x) * 4, 4);
  // cairo keeps 0x00RRGGBB; the skin's colours are 0x00BBGGRR.
  return (px & 0x00FF00) | (px >> 16 & 0xFF) | (px & 0xFF) << 16;
}

bool Near(uint32_t a, uint32_t b, int tolerance) {
  for (int s = 0; s < 24; s += 8)
    if (std::abs(static_cast<int>(a >> s & 0xFF) - static_cast<int>(b >> s & 0xFF)) > tolerance) return false;
  return true;
}

void SetItemColour(XGuiMan& skin, const char* item, uint32_t colour) {
  skin.colors.push_back(colour);
  XGuiItem* it = skin.Find(item);
  ASSERT_NE(it, nullptr) << item;
  it->normal = {static_cast<int32_t>(SkinStyle::Color), -1, 0, static_cast<int32_t>(skin.colors.size() - 1)};
}

CComp* Child(CGroup& root, const std::string& type) {
  for (auto& c : root.children)
    if (c->TypeKey() == type) return c.get();
  return nullptr;
}

bool HasAudioCable(const CComp& from, const CComp& to, int out, int in) {
  return std::any_of(to.audioInCables.begin(), to.audioInCables.end(),
                     [&](auto& c) { return c->Source() == &from && c->sourceOut == out && c->destIn == in; });
}

}  // namespace

TEST(ModulesPage, BoxesAtStoredPositionsCablesBetweenPortsInSkinColours) {
  EditorRig rig;
  XGuiMan& skin = rig.win->Skin();
  SetItemColour(skin, "ma_bkgnd", 0x00102030);
  SetItemColour(skin, "win_title_bkgnd", 0x00A01010);
  SetItemColour(skin, "ma_audio_cable", 0x0010E0E0);
  rig.win->Gui().Painter().Reset();
  CGroup& root = rig.Root();
  CComp* eq = AddModule(root, rig.plug->Project(), "Ceq", 150, 150);
  CComp* delay = AddModule(root, rig.plug->Project(), "CDelay", 300, 60);
  ASSERT_TRUE(eq && delay);
  eq->id = "Eq";  // short names keep the header's right end clear of text
  delay->id = "D";
  CMasterIn& in = *rig.plug->MasterIn();
  const PortRef links[][2] = {{{&in, PortKind::AudioOut, 0}, {eq, PortKind::AudioIn, 0}},
                              {{eq, PortKind::AudioOut, 0}, {delay, PortKind::AudioIn, 0}},
                              {{delay, PortKind::AudioOut, 0}, {&root, PortKind::AudioIn, 0}}};
  for (const auto& l : links) ASSERT_TRUE(ToggleCable(root, rig.plug->Project(), l[0], l[1]));
  rig.win->ShowPage("Modules");
  rig.win->Gui().InvalidateAll();
  rig.win->Update();
  cairo_surface_t* s = rig.win->Gui().Surface();

  // Exactly at the stored position: the pixel before the box and the one after
  // it are background, the header's last pixel inside the frame is header.
  for (CComp* m : {static_cast<CComp*>(&in), eq, delay, static_cast<CComp*>(&root)}) {
    const auto before = rig.OnPage(m->x - 1, m->y + 2);
    const auto head = rig.OnPage(m->x + box::kWidth - 2, m->y + 2);
    const auto after = rig.OnPage(m->x + box::kWidth, m->y + 2);
    EXPECT_EQ(PixelAt(s, before.x, before.y), 0x00102030u) << m->id << " box starts left of " << m->x;
    EXPECT_EQ(PixelAt(s, head.x, head.y), 0x00A01010u) << m->id << " has no box at " << m->x << "," << m->y;
    EXPECT_EQ(PixelAt(s, after.x, after.y), 0x00102030u) << m->id << " box runs past its width";
  }
  // Each cable is a curve symmetric about its middle, which lies halfway
  // between its two port centres.
  for (const auto& l : links) {
    const auto a = rig.Port(*l[0].module, l[0].kind, l[0].index);
    const auto b = rig.Port(*l[1].module, l[1].kind, l[1].index);
    EXPECT_TRUE(Near(PixelAt(s, (a.x + b.x) / 2, (a.y + b.y) / 2), 0x0010E0E0, 40))
        << "no cable between " << l[0].module->id << " and " << l[1].module->id;
  }
}

TEST(ModulesPage, AnIdlePassWithNothingChangedDrawsNothing) {
  EditorRig rig;
  rig.win->Update();
  EXPECT_TRUE(rig.win->Update().Empty());
  rig.plug->MasterIn()->x += 10;
  EXPECT_FALSE(rig.win->Update().Empty());
  EXPECT_TRUE(rig.win->Update().Empty());
}

TEST(ModulesPage, DragsToggleCablesAndMoveBoxesAndTheChunkKeepsThem) {
  EditorRig rig;
  CGroup& root = rig.Root();
  CMasterIn& in = *rig.plug->MasterIn();
  auto connectByHand = [&](PortKind from_kind, CComp& from, PortKind to_kind, CComp& to, int from_port = 0) {
    const auto a = rig.Port(from, from_kind, from_port);
    const auto b = rig.Port(to, to_kind, 0);
    rig.Drag(a.x, a.y, b.x, b.y);
  };
  connectByHand(PortKind::AudioOut, in, PortKind::AudioIn, root);
  EXPECT_TRUE(HasAudioCable(in, root, 0, 0));
  // Dragged the other way round, from the input, the same cable goes again.
  connectByHand(PortKind::AudioIn, root, PortKind::AudioOut, in);
  EXPECT_FALSE(HasAudioCable(in, root, 0, 0));
  connectByHand(PortKind::AudioOut, in, PortKind::AudioIn, root);
  connectByHand(PortKind::MidiOut, in, PortKind::MidiIn, root);
  ASSERT_EQ(root.midiIn.size(), 1u);
  // An output dropped on an output makes nothing.
  CComp* eq = AddModule(root, rig.plug->Project(), "Ceq", 200, 40);
  connectByHand(PortKind::AudioOut, in, PortKind::AudioOut, *eq);
  EXPECT_TRUE(eq->audioOutCables.empty());
  // Each of the patcher's eight outputs has a port to drag from.
  CComp* patcher = AddModule(root, rig.plug->Project(), "CMPatcher", 320, 200);
  ASSERT_EQ(PortCount(*patcher, root, PortKind::MidiOut), 8);
  connectByHand(PortKind::MidiOut, *patcher, PortKind::MidiIn, root, 7);
  ASSERT_EQ(root.midiIn.size(), 2u);
  EXPECT_EQ(root.midiIn[1]->sourcePort, 7);
  // A box dragged by its header moves its module.
  const auto grab = rig.OnPage(in.x + 40, in.y + 8);
  rig.Drag(grab.x, grab.y, grab.x + 100, grab.y + 50);
  EXPECT_EQ(in.x, 16 + 100);
  EXPECT_EQ(in.y, 32 + 50);

  EditorRig next;
  test::LoadChunkInto(next, rig.Chunk());
  EXPECT_TRUE(HasAudioCable(*next.plug->MasterIn(), next.Root(), 0, 0));
  ASSERT_EQ(next.Root().midiIn.size(), 2u);
  EXPECT_EQ(next.Root().midiIn[0]->Source(), next.plug->MasterIn());
  EXPECT_EQ(next.Root().midiIn[1]->sourcePort, 7);
  EXPECT_EQ(next.plug->MasterIn()->x, 116);
  EXPECT_EQ(next.plug->MasterIn()->y, 82);
}

TEST(ModulesPage, MenusAddAndDeleteModules) {
  EditorRig rig;
  CGroup& root = rig.Root();
  const size_t before = root.children.size();
  const auto at = rig.OnPage(300, 100);
  rig.Click(at.x, at.y, 3);
  auto* menu = dynamic_cast<XMenu*>(rig.win->Gui().Popup());
  ASSERT_NE(menu, nullptr);
  ASSERT_EQ(menu->Items()[0].text, "Add module");
  rig.Click(menu->rect.x + 10, menu->rect.y + 2 + XMenu::kRow / 2);
  auto* types = dynamic_cast<XMenu*>(rig.win->Gui().Popup());
  ASSERT_NE(types, nullptr);
  int row = -1;
  for (size_t i = 0; i < types->Items().size(); ++i)
    if (types->Items()[i].text == "Delay") row = static_cast<int>(i);
  ASSERT_GE(row, 0);
  rig.Click(types->rect.x + 10, types->rect.y + 2 + row * XMenu::kRow + XMenu::kRow / 2);
  ASSERT_EQ(root.children.size(), before + 1);
  CComp* delay = root.children.back().get();
  EXPECT_EQ(delay->TypeKey(), "CDelay");
  EXPECT_EQ(delay->x, 300);
  EXPECT_EQ(delay->y, 100);
  EXPECT_TRUE(delay->HasBuffers());

  // Wire it in, then delete it from its own menu: its cables go with it.
  ASSERT_TRUE(
      ToggleCable(root, rig.plug->Project(), {delay, PortKind::AudioOut, 0}, {&root, PortKind::AudioIn, 0}));
  const auto box = rig.OnPage(delay->x + 30, delay->y + 8);
  rig.Click(box.x, box.y, 3);
  menu = dynamic_cast<XMenu*>(rig.win->Gui().Popup());
  ASSERT_NE(menu, nullptr);
  const auto& items = menu->Items();
  const auto del = std::find_if(items.begin(), items.end(), [](auto& i) { return i.text == "Delete"; });
  ASSERT_NE(del, items.end());
  rig.Click(menu->rect.x + 10, menu->rect.y + 2 + static_cast<int>(del - items.begin()) * XMenu::kRow + 9);
  EXPECT_EQ(root.children.size(), before);
  EXPECT_TRUE(root.audioInCables.empty());
  EditorRig next;
  test::LoadChunkInto(next, rig.Chunk());
  EXPECT_EQ(Child(next.Root(), "CDelay"), nullptr);
}

// Drag up, Shift for fine steps, the wheel, double-click for the default and a
// typed value, each reaching the module (the saved project is the editor
// sweep's over every module type).
TEST(ModuleEditor, KnobHabitsSetTheModule) {
  EditorRig rig;
  auto* delay = static_cast<CDelay*>(AddModule(rig.Root(), rig.plug->Project(), "CDelay", 200, 40));
  rig.win->OpenEditor(*delay);
  XModuleEditor* ed = rig.win->EditorPage(*delay);
  ASSERT_NE(ed, nullptr);
  EXPECT_EQ(rig.win->CurrentPage(), delay->id);
  const Rect fb = ed->ControlWidget(1)->rect;  // "Feedback", 0.5, 200 pixels for the range
  const int cx = fb.x + fb.w / 2, cy = fb.y + fb.h / 2;
  rig.Drag(cx, cy, cx, cy - 50);
  EXPECT_FLOAT_EQ(delay->feedback, 0.75f);
  rig.Drag(cx, cy, cx, cy - 40, winkey::kShift);
  EXPECT_FLOAT_EQ(delay->feedback, 0.77f);
  rig.Wheel(cx, cy, 1);
  EXPECT_FLOAT_EQ(delay->feedback, 0.78f);
  rig.Drag(cx, cy, cx, cy + 1000);  // past the end: clamped
  EXPECT_FLOAT_EQ(delay->feedback, 0.0f);
  rig.DoubleClick(cx, cy);
  EXPECT_FLOAT_EQ(delay->feedback, 0.5f);

  const Rect wet = ed->ControlWidget(0)->rect;  // shown in percent
  rig.Click(wet.x + wet.w / 2, wet.y + wet.h / 2);
  rig.Type("25 %");
  rig.Key(winkey::kEnter);
  EXPECT_FLOAT_EQ(delay->wet, 0.25f);
  rig.Type("30 dB");  // another control's unit means nothing here
  rig.Key(winkey::kEnter);
  EXPECT_FLOAT_EQ(delay->wet, 0.25f);
  EXPECT_EQ(static_cast<XValueCtrl*>(ed->ControlWidget(0))->Tip(), "Wet: 25 %");

  const Rect div = ed->ControlWidget(2)->rect;  // "Beat div 1", whole steps 1..16
  rig.Drag(div.x + div.w / 2, div.y + 20, div.x + div.w / 2, div.y + 20 - 40);
  EXPECT_EQ(delay->division1, 2 + 3);
  EXPECT_EQ(delay->Length(0), CDelay::LengthFor(5, delay->sampleRate, delay->tempo));
}

TEST(ModuleEditor, EqCurveFollowsTheBandsAndItsControls) {
  EditorRig rig;
  auto* eq = static_cast<CEq*>(AddModule(rig.Root(), rig.plug->Project(), "Ceq", 200, 40));
  rig.win->OpenEditor(*eq);
  XModuleEditor* ed = rig.win->EditorPage(*eq);
  ASSERT_NE(ed, nullptr);
  // Rows of band 1: mode, frequency, gain, width; band 2 is hidden until it exists.
  EXPECT_EQ(ed->ControlWidget(4), nullptr);
  auto* gain = dynamic_cast<XValueCtrl*>(ed->ControlWidget(2));
  ASSERT_NE(gain, nullptr);
  gain->SetByUser(12.0f);
  EXPECT_FLOAT_EQ(eq->bands[0].gain, 12.0f);
  XEqCurve curve(*eq);
  EXPECT_NEAR(curve.ResponseDb(2000.0), 12.0, 0.05);  // a peak has its full gain at its centre
  EXPECT_NEAR(curve.ResponseDb(20.0), 0.0, 0.2);
  eq->AddBand();
  EXPECT_TRUE(ed->Refresh());
  EXPECT_NE(ed->ControlWidget(4), nullptr);
  auto* mode = dynamic_cast<XDropdown*>(ed->ControlWidget(4));
  ASSERT_NE(mode, nullptr);
  mode->Select(1);  // "Low-shelf" resets the band to 300 Hz
  EXPECT_EQ(eq->bands[1].mode, CEqBand::kLowShelf);
  EXPECT_FLOAT_EQ(eq->bands[1].frequency, 300.0f);
}

// A redraw of a small damaged area works out only the columns near it: its
// pixels must be those of the whole curve drawn, at the curve's steepest
// place (a band's peak) and at the clip's edges. (Edge smoothing under a clip
// may differ by a step or two of a channel; a missing stretch of line differs
// by far more.)
TEST(ModuleEditor, EqCurveRedrawnInASmallAreaGivesTheWholeCurvesPixels) {
  EditorRig rig;
  auto* eq = static_cast<CEq*>(AddModule(rig.Root(), rig.plug->Project(), "Ceq", 200, 40));
  eq->SetBand(0, 2000.0f, 24.0f, 0.05f);
  XEqCurve curve(*eq);
  curve.rect = {0, 0, 160, 60};
  XGuiMan skin;
  XPainter painter(skin);
  auto draw = [&](const Rect* clip) {
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 160, 60);
    cairo_t* cr = cairo_create(s);
    if (clip) {
      cairo_rectangle(cr, clip->x, clip->y, clip->w, clip->h);
      cairo_clip(cr);
    }
    curve.Draw(cr, painter);
    cairo_destroy(cr);
    return s;
  };
  cairo_surface_t* whole = draw(nullptr);
  for (const Rect clip :
       {Rect{100, 0, 9, 60}, Rect{0, 0, 5, 60}, Rect{150, 10, 10, 40}, Rect{60, 0, 1, 60}}) {
    cairo_surface_t* part = draw(&clip);
    for (int y = clip.y; y < clip.y + clip.h; ++y)
      for (int x = clip.x; x < clip.x + clip.w; ++x)
        for (int shift : {0, 8, 16})
          ASSERT_NEAR((PixelAt(part, x, y) >> shift) & 255, (PixelAt(whole, x, y) >> shift) & 255, 6)
              << x << "," << y;
    cairo_surface_destroy(part);
  }
  cairo_surface_destroy(whole);
}

TEST(MixerPage, StripsSetTheChannelAndMetersShowTheAudioThreadsPeaks) {
  EditorRig rig;
  CGroup& root = rig.Root();
  auto* mixer = static_cast<CMixer*>(AddModule(root, rig.plug->Project(), "CMixer", 200, 40));
  ASSERT_TRUE(mixer->NewChannel());
  ASSERT_TRUE(ToggleCable(root, rig.plug->Project(), {rig.plug->MasterIn(), PortKind::AudioOut, 0},
                          {mixer, PortKind::AudioIn, 1}));
  ASSERT_TRUE(
      ToggleCable(root, rig.plug->Project(), {mixer, PortKind::AudioOut, 0}, {&root, PortKind::AudioIn, 0}));
  ASSERT_TRUE(rig.win->ShowPage("Mixer"));
  XMixerPage& page = rig.win->MixerPage();
  page.Refresh();
  std::vector<XFader*> faders;
  std::vector<XButton*> buttons;
  std::vector<XLed*> meters;
  for (auto& c : page.Children()) {
    if (auto* f = dynamic_cast<XFader*>(c.get())) faders.push_back(f);
    if (auto* b = dynamic_cast<XButton*>(c.get())) buttons.push_back(b);
    if (auto* l = dynamic_cast<XLed*>(c.get())) meters.push_back(l);
  }
  ASSERT_EQ(faders.size(), 2u);
  ASSERT_EQ(buttons.size(), 4u);  // mute and solo per strip
  ASSERT_EQ(meters.size(), 4u);

  std::vector<float> l(64, 0.5f), r(64, 0.5f), ol(64), orr(64);
  float* ins[2] = {l.data(), r.data()};
  float* outs[2] = {ol.data(), orr.data()};
  rig.plug->processReplacing(ins, outs, 64);
  rig.win->Update();
  EXPECT_FLOAT_EQ(meters[2]->shown, 0.5f);  // channel 2 carries the input at unity
  EXPECT_FLOAT_EQ(meters[0]->shown, 0.0f);

  // Fader to the bottom silences channel 2; its mute button mutes it.
  const Rect f = faders[1]->rect;
  rig.Drag(f.x + f.w / 2, f.y + 6, f.x + f.w / 2, f.y + f.h + 20);
  EXPECT_FLOAT_EQ(mixer->channels[1].volume, 0.0f);
  rig.DoubleClick(f.x + f.w / 2, f.y + f.h / 2);
  EXPECT_FLOAT_EQ(mixer->channels[1].volume, 1.0f);
  rig.Click(buttons[2]->rect.x + 4, buttons[2]->rect.y + 4);
  EXPECT_EQ(mixer->channels[1].mute, 1);
  rig.plug->processReplacing(ins, outs, 64);
  EXPECT_FLOAT_EQ(ol[10], 0.0f);
}

// Edits from the user-interface thread while a second thread processes blocks:
// the audio side neither allocates nor locks, and every edit lands.
TEST(ModulesPage, EditsWhileAnotherThreadProcessesTakeNoLockOnTheAudioThread) {
  EditorRig rig;
  CGroup& root = rig.Root();
  auto* delay = static_cast<CDelay*>(AddModule(root, rig.plug->Project(), "CDelay", 200, 40));
  rig.win->Update();
  std::atomic<bool> stop{false};
  std::atomic<int> blocks{0};
  bool clean = true;
  std::string report;
  std::thread audio([&] {
    std::vector<float> l(64, 0.25f), r(64, 0.25f), ol(64), orr(64);
    float* ins[2] = {l.data(), r.data()};
    float* outs[2] = {ol.data(), orr.data()};
    rig.plug->processReplacing(ins, outs, 64);
    test::AllocGuard g;
    while (!stop.load()) {
      rig.plug->processReplacing(ins, outs, 64);
      blocks.fetch_add(1);
    }
    clean = g.Clean();
    report = g.Report();
  });
  while (blocks.load() < 10) std::this_thread::yield();
  CMasterIn& in = *rig.plug->MasterIn();
  for (int i = 0; i < 20; ++i) {
    const auto a = rig.Port(in, PortKind::AudioOut, 0);
    const auto b = rig.Port(*delay, PortKind::AudioIn, 0);
    rig.Drag(a.x, a.y, b.x, b.y);
    const auto c = rig.Port(*delay, PortKind::AudioOut, 0);
    const auto d = rig.Port(root, PortKind::AudioIn, 0);
    rig.Drag(c.x, c.y, d.x, d.y);
    ApplyControl(*delay, delay->Controls()[1], 0.1f * static_cast<float>(i % 10));
    ApplyControl(*delay, delay->Controls()[2], static_cast<float>(1 + i % 16));
  }
  const int seen = blocks.load();
  while (blocks.load() < seen + 10) std::this_thread::yield();
  stop.store(true);
  audio.join();
  EXPECT_TRUE(clean) << report;
  // 20 toggles of each cable: both gone again.
  EXPECT_TRUE(delay->audioInCables.empty());
  EXPECT_TRUE(root.audioInCables.empty());
  EXPECT_FLOAT_EQ(delay->feedback, 0.9f);
  EXPECT_EQ(delay->division1, 4);
}

TEST(ModuleEditor, AudioPartClipsAreDrawnFromTheirSamplesPeakSummaries) {
  EditorRig rig;
  auto* ap = static_cast<CAudioPart2*>(AddModule(rig.Root(), rig.plug->Project(), "CAPart", 200, 40));
  // Silent for the first half, full scale for the second.
  auto s = test::FloatSample(12800, 1, [](int i, int) { return i > 6400 ? (i % 2 ? 1.0f : -1.0f) : 0.0f; });
  s->BuildPeaks();
  ap->samples.push_back(std::move(s));
  CLiveAudioPart& part = ap->NewPart();
  part.AddLane();
  CAudioClip& clip = part.AppendClip(0);
  clip.sample = 0;
  clip.first = 1;
  clip.last = 12800;
  rig.win->OpenEditor(*ap);
  rig.win->Gui().InvalidateAll();
  rig.win->Update();
  const Rect view = rig.win->EditorPage(*ap)->Picture()->rect;
  const int rowH = view.h / ap->PartCount();
  const int y = view.y + (ap->PartCount() - 1) * rowH + rowH / 5;  // well above the middle of the last row
  const uint32_t data = rig.win->Gui().Painter().Colour("gr_col_data", colour::kMidi);
  cairo_surface_t* surface = rig.win->Gui().Surface();
  EXPECT_FALSE(Near(PixelAt(surface, view.x + view.w / 4, y), data, 8)) << "the silent half is drawn loud";
  EXPECT_TRUE(Near(PixelAt(surface, view.x + view.w * 3 / 4, y), data, 8)) << "the loud half is drawn quiet";
}

TEST(ModuleEditor, OpenEditorsComeBackDockedAfterALoadAndCloseFromTheirTab) {
  EditorRig rig;
  CComp* delay = AddModule(rig.Root(), rig.plug->Project(), "CDelay", 200, 40);
  rig.win->OpenEditor(*delay);
  EditorRig next;
  test::LoadChunkInto(next, rig.Chunk());
  next.win->Update();
  CComp* loaded = Child(next.Root(), "CDelay");
  ASSERT_NE(loaded, nullptr);
  ASSERT_NE(next.win->EditorPage(*loaded), nullptr);
  EXPECT_EQ(next.win->CurrentPage(), "Modules");  // docked behind the page in front
  // Loading again replaces the module: the old page goes, the new one comes.
  test::LoadChunkInto(next, rig.Chunk());
  next.win->Update();
  CComp* again = Child(next.Root(), "CDelay");
  ASSERT_NE(next.win->EditorPage(*again), nullptr);
  ASSERT_TRUE(next.win->ShowPage(again->id));
  // The third tab is the editor's; a right-click closes it for good.
  const int tabX = 2 + 2 * 82 + 20;
  next.Click(tabX, 10, 3);
  next.win->Update();
  EXPECT_EQ(next.win->EditorPage(*again), nullptr);
  EXPECT_EQ(again->hasEditorWindow, 0);
}

// Positions and port numbers a file can hold but no hand makes: the page still
// draws (the sanitizer build checks that no coordinate sum overflows) and keeps
// the boxes it can show where they belong.
TEST(ModulesPage, ExtremePositionsAndPortNumbersDrawWithoutFault) {
  EditorRig rig;
  CGroup& root = rig.Root();
  CComp* a = AddModule(root, rig.plug->Project(), "CDelay", 0, 0);
  CComp* b = AddModule(root, rig.plug->Project(), "Ceq", 0, 0);
  ASSERT_TRUE(ToggleCable(root, rig.plug->Project(), {a, PortKind::AudioOut, 0}, {b, PortKind::AudioIn, 0}));
  b->audioInCables[0]->sourceOut = std::numeric_limits<int32_t>::min();
  b->audioInCables[0]->destIn = std::numeric_limits<int32_t>::max();
  a->x = std::numeric_limits<int32_t>::min();
  a->y = std::numeric_limits<int32_t>::max();
  b->x = std::numeric_limits<int32_t>::max();
  b->y = std::numeric_limits<int32_t>::min();
  rig.win->Gui().InvalidateAll();
  EXPECT_FALSE(rig.win->Update().Empty());
  EXPECT_EQ(ModuleAt(root, rig.plug->MasterIn()->x + 5, rig.plug->MasterIn()->y + 5), rig.plug->MasterIn());
  b->audioInCables[0]->sourceOut = 0;  // the cable's own destructor needs sane ends
  b->audioInCables[0]->destIn = 0;
}
