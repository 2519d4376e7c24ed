// The viewer overlay: draws the current frame's marks over the image and turns
// pen input into that frame's box and brush documents, which live in the
// effect's hidden parameters (frame_marks.h). Its only state of its own is one
// drag record per interact.
#include "overlay/overlay.h"

#include <GL/gl.h>

#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "overlay/frame_marks.h"
#include "overlay/selection.h"
#include "protocol/selection_document.h"
#include "suites/clip_time.h"
#include "suites/host_access.h"
#include "suites/params.h"

namespace tessel {
namespace {

using protocol::Box;
using protocol::Dab;

struct Drag {
  bool active = false;
  double anchorX = 0.0;
  double anchorY = 0.0;
};

// Hosts may run the interacts of different viewers on different threads.
std::mutex gDragMu;
std::map<const void*, Drag> gDrag;

constexpr double kDefaultBrushSize = 0.03;
constexpr double kHandleHalfSize = 5.0;  // canonical units: handles follow the viewer's zoom
constexpr int kDabSegments = 20;
constexpr int kToolBox = 0;
constexpr int kToolExclude = 2;

// The overlay's names for the shared parameter helpers.
OfxParamHandle fetchParam(OfxImageEffectHandle effect, const char* name) { return param(effect, name); }
std::string readString(OfxParamHandle handle) { return string_value(handle); }
int readInt(OfxParamHandle handle, int fallback) { return int_value(handle, fallback); }
double readDouble(OfxParamHandle handle, double fallback) { return double_value(handle, fallback); }
void writeString(OfxParamHandle handle, const std::string& text) { set_string_value(handle, text); }

// Every suite function the overlay calls; a host that lacks one gets no overlay.
bool suitesReady() {
  return gInteract && gInteract->interactGetPropertySet && gProp && gProp->propGetPointer &&
         gProp->propGetDoubleN && gEffect && gEffect->getPropertySet && gEffect->getParamSet && gParam &&
         gParam->paramGetHandle && gParam->paramGetValue && gParam->paramSetValue;
}

OfxImageEffectHandle effectOf(const void* handle) {
  OfxPropertySetHandle interactProps = nullptr;
  gInteract->interactGetPropertySet(static_cast<OfxInteractHandle>(const_cast<void*>(handle)),
                                    &interactProps);
  void* effect = nullptr;
  if (interactProps) gProp->propGetPointer(interactProps, kOfxPropEffectInstance, 0, &effect);
  return static_cast<OfxImageEffectHandle>(effect);
}

Project projectOf(OfxImageEffectHandle effect) {
  OfxPropertySetHandle props = nullptr;
  gEffect->getPropertySet(effect, &props);
  double size[2] = {0.0, 0.0};
  double offset[2] = {0.0, 0.0};
  if (props) {
    gProp->propGetDoubleN(props, kOfxImageEffectPropProjectSize, 2, size);
    gProp->propGetDoubleN(props, kOfxImageEffectPropProjectOffset, 2, offset);
  }
  return project_from(size[0], size[1], offset[0], offset[1]);
}

// Everything an action needs, gathered before the action is looked at.
struct Context {
  OfxImageEffectHandle effect = nullptr;
  OfxParamHandle bboxParam = nullptr;
  OfxParamHandle brushParam = nullptr;
  OfxParamHandle marksParam = nullptr;
  Project project;
  std::optional<long long> frame;  // the clip frame on show; none for an unusable time
};

// Whether the box and brush documents are the marks of the frame on show.
bool editingShown(const Context& ctx, const FrameMarks& marks) {
  return !marks.editing || !ctx.frame || *marks.editing == *ctx.frame;
}

// Pen input on another frame than the one edited so far: that frame's marks
// go back among the others and the documents take this frame's. Unframed
// marks of an older project become this frame's, since they are on show here.
void editFrameShown(const Context& ctx) {
  if (!ctx.frame) return;
  FrameMarks marks = read_frame_marks(readString(ctx.marksParam));
  if (marks.editing && *marks.editing == *ctx.frame) return;
  if (marks.editing) {
    Marks left = read_marks(readString(ctx.bboxParam), readString(ctx.brushParam));
    if (!left.empty()) marks.frames[*marks.editing] = std::move(left);
    Marks here;
    if (auto it = marks.frames.find(*ctx.frame); it != marks.frames.end()) {
      here = std::move(it->second);
      marks.frames.erase(it);
    }
    writeString(ctx.bboxParam, bbox_text(here));
    writeString(ctx.brushParam, brush_text(here));
  }
  marks.editing = *ctx.frame;
  writeString(ctx.marksParam, frame_marks_text(marks));
}

void drawBox(const Project& project, const Box& box) {
  const Point p0 = to_canonical(project, {box.x, box.y});
  const Point p1 = to_canonical(project, {box.x + box.w, box.y + box.h});
  glLineWidth(1.5f);
  glColor4f(0.902f, 0.616f, 0.153f, 1.0f);
  glBegin(GL_LINE_LOOP);
  glVertex2d(p0.x, p0.y);
  glVertex2d(p1.x, p0.y);
  glVertex2d(p1.x, p1.y);
  glVertex2d(p0.x, p1.y);
  glEnd();
  const Point corners[4] = {{p0.x, p0.y}, {p0.x, p1.y}, {p1.x, p0.y}, {p1.x, p1.y}};
  for (const Point& c : corners) {
    glBegin(GL_QUADS);
    glVertex2d(c.x - kHandleHalfSize, c.y - kHandleHalfSize);
    glVertex2d(c.x + kHandleHalfSize, c.y - kHandleHalfSize);
    glVertex2d(c.x + kHandleHalfSize, c.y + kHandleHalfSize);
    glVertex2d(c.x - kHandleHalfSize, c.y + kHandleHalfSize);
    glEnd();
  }
}

void drawDab(const Project& project, const Dab& dab) {
  // r of 0 (or -0) is an exclude dab, so only a positive r is drawn as add.
  if (dab.r > 0.0)
    glColor4f(0.0f, 0.898f, 1.0f, 0.35f);
  else
    glColor4f(1.0f, 0.271f, 0.227f, 0.35f);
  const Point centre = to_canonical(project, {dab.x, dab.y});
  const double radius = std::fabs(dab.r) * project.width;
  glBegin(GL_TRIANGLE_FAN);
  glVertex2d(centre.x, centre.y);
  for (int i = 0; i <= kDabSegments; ++i) {
    // The last rim vertex repeats the first exactly, closing the fan.
    const double theta = double(i % kDabSegments) / kDabSegments * 2.0 * M_PI;
    glVertex2d(centre.x + radius * std::cos(theta), centre.y + radius * std::sin(theta));
  }
  glEnd();
}

OfxStatus drawAction(const Context& ctx) {
  // The documents are read before the first GL call, so a failure leaves no
  // glBegin without its glEnd.
  const FrameMarks frames = read_frame_marks(readString(ctx.marksParam));
  Marks marks;
  if (editingShown(ctx, frames)) {
    marks = read_marks(readString(ctx.bboxParam), readString(ctx.brushParam));
  } else if (auto it = frames.frames.find(*ctx.frame); it != frames.frames.end()) {
    marks = it->second;
  }
  if (marks.box) drawBox(ctx.project, *marks.box);
  for (const Dab& dab : marks.dabs) drawDab(ctx.project, dab);
  return kOfxStatOK;
}

Point penPosition(OfxPropertySetHandle inArgs, const Project& project) {
  double pen[2] = {0.0, 0.0};
  if (inArgs) gProp->propGetDoubleN(inArgs, kOfxInteractPropPenPosition, 2, pen);
  return to_normalised(project, {pen[0], pen[1]});
}

// Pen-down starts a drag at the pen; pen-motion continues the active one.
OfxStatus penAction(const Context& ctx, const void* handle, OfxPropertySetHandle inArgs, bool down) {
  Drag drag;
  {
    std::lock_guard<std::mutex> lock(gDragMu);
    drag = gDrag[handle];
  }
  if (!down && !drag.active) return kOfxStatReplyDefault;

  const Point pen = penPosition(inArgs, ctx.project);
  const int tool = readInt(fetchParam(ctx.effect, params::kSelectTool), kToolBox);
  if (down) {
    editFrameShown(ctx);
    drag = Drag{true, pen.x, pen.y};
    std::lock_guard<std::mutex> lock(gDragMu);
    gDrag[handle] = drag;
  }

  if (tool == kToolBox) {
    writeString(ctx.bboxParam, protocol::box_text(box_from_drag({drag.anchorX, drag.anchorY}, pen)));
    return kOfxStatOK;
  }

  double r = readDouble(fetchParam(ctx.effect, params::kBrushSize), kDefaultBrushSize);
  if (!std::isfinite(r)) r = kDefaultBrushSize;
  if (tool == kToolExclude) r = -r;
  const std::optional<std::string> brush =
      protocol::append_dab(readString(ctx.brushParam), {pen.x, pen.y, r});
  if (brush) writeString(ctx.brushParam, *brush);
  return kOfxStatOK;
}

OfxStatus penUpAction(const void* handle) {
  std::lock_guard<std::mutex> lock(gDragMu);
  gDrag[handle].active = false;
  return kOfxStatOK;
}

// A host may hand a new interact the address of one it destroyed: the old
// drag record must not carry over, whatever the checkbox says at that moment.
void forgetDrag(const void* handle) {
  std::lock_guard<std::mutex> lock(gDragMu);
  gDrag.erase(handle);
}

OfxStatus run(const char* action, const void* handle, OfxPropertySetHandle inArgs) {
  if (!handle) return kOfxStatReplyDefault;
  if (action && (std::strcmp(action, kOfxActionCreateInstance) == 0 ||
                 std::strcmp(action, kOfxActionDestroyInstance) == 0)) {
    forgetDrag(handle);
    return kOfxStatReplyDefault;
  }
  if (!suitesReady()) return kOfxStatReplyDefault;
  Context ctx;
  ctx.effect = effectOf(handle);
  if (!ctx.effect) return kOfxStatReplyDefault;
  // With the checkbox off every action, draw and pen-up included, is the host's.
  if (readInt(fetchParam(ctx.effect, params::kDrawMask), 0) == 0) return kOfxStatReplyDefault;
  ctx.bboxParam = fetchParam(ctx.effect, params::kBboxJson);
  ctx.brushParam = fetchParam(ctx.effect, params::kBrushJson);
  ctx.marksParam = fetchParam(ctx.effect, params::kFrameMarks);
  ctx.project = projectOf(ctx.effect);
  double time = 0.0;
  if (inArgs && gProp->propGetDouble) gProp->propGetDouble(inArgs, kOfxPropTime, 0, &time);
  // Without the clip suite functions the host's times are taken as the clip's frames.
  const bool clipsReadable = gEffect->clipGetHandle && gEffect->clipGetPropertySet;
  ctx.frame = frame_key(time + (clipsReadable ? read_clip_time(ctx.effect).offset : 0.0));

  if (!action) return kOfxStatReplyDefault;
  if (std::strcmp(action, kOfxInteractActionDraw) == 0) return drawAction(ctx);
  if (std::strcmp(action, kOfxInteractActionPenDown) == 0) return penAction(ctx, handle, inArgs, true);
  if (std::strcmp(action, kOfxInteractActionPenMotion) == 0) return penAction(ctx, handle, inArgs, false);
  if (std::strcmp(action, kOfxInteractActionPenUp) == 0) return penUpAction(handle);
  return kOfxStatReplyDefault;
}

}  // namespace

OfxStatus overlayMain(const char* action, const void* handle, OfxPropertySetHandle inArgs,
                      OfxPropertySetHandle /*outArgs*/) {
  // No exception may cross into the host; allocation failure included.
  try {
    return run(action, handle, inArgs);
  } catch (...) {
    return kOfxStatFailed;
  }
}

}  // namespace tessel
