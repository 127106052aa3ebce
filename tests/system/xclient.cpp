#include "xclient.h"

#include <X11/Xlib.h>

namespace zf::test {
namespace {

Window Find(Display* display, Window root, const std::string& title) {
  char* name = nullptr;
  if (XFetchName(display, root, &name) != 0 && name != nullptr) {
    bool match = title == name;
    XFree(name);
    // Toolkits name hidden helper windows after the program too: only the
    // window that is shown counts.
    XWindowAttributes attributes{};
    match = match && XGetWindowAttributes(display, root, &attributes) != 0 &&
            attributes.map_state == IsViewable;
    if (match) return root;
  }
  Window parent = 0;
  Window* children = nullptr;
  unsigned int count = 0;
  Window found = 0;
  if (XQueryTree(display, root, &root, &parent, &children, &count) != 0) {
    for (unsigned int i = 0; i < count && found == 0; ++i)
      found = Find(display, children[i], title);
    if (children != nullptr) XFree(children);
  }
  return found;
}

}  // namespace

XClient::XClient(const std::string& display) : display_(XOpenDisplay(display.c_str())) {}

XClient::~XClient() {
  if (display_ != nullptr) XCloseDisplay(static_cast<Display*>(display_));
}

unsigned long XClient::FindWindow(const std::string& title) {
  auto* display = static_cast<Display*>(display_);
  return display == nullptr ? 0 : Find(display, DefaultRootWindow(display), title);
}

void XClient::SendDeleteWindow(unsigned long window) {
  auto* display = static_cast<Display*>(display_);
  if (display == nullptr) return;
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(display, window, False, NoEventMask, &event);
  XFlush(display);
}

void XClient::Focus(unsigned long window) {
  auto* display = static_cast<Display*>(display_);
  if (display == nullptr) return;
  XSetInputFocus(display, window, RevertToParent, CurrentTime);
  XFlush(display);
}

void XClient::SendKey(unsigned long window, const std::string& key, bool alt) {
  auto* display = static_cast<Display*>(display_);
  if (display == nullptr) return;
  XEvent event{};
  event.xkey.display = display;
  event.xkey.window = window;
  event.xkey.root = DefaultRootWindow(display);
  event.xkey.time = CurrentTime;
  event.xkey.x = event.xkey.y = event.xkey.x_root = event.xkey.y_root = 1;
  event.xkey.same_screen = True;
  event.xkey.state = alt ? Mod1Mask : 0;
  event.xkey.keycode = XKeysymToKeycode(display, XStringToKeysym(key.c_str()));
  for (int type : {KeyPress, KeyRelease}) {
    event.xkey.type = type;
    XSendEvent(display, window, True, type == KeyPress ? KeyPressMask : KeyReleaseMask, &event);
  }
  XFlush(display);
}

}  // namespace zf::test
