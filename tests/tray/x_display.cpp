#include "x_display.h"

#ifdef CORVANE_TRAY_XTEST
#include <xcb/xtest.h>
#endif

#include <cstdlib>
#include <cstring>

namespace corvane::platform::testing {
namespace {

struct FreeReply {
    void operator()(void* reply) const { std::free(reply); }
};
template <class T>
using Reply = std::unique_ptr<T, FreeReply>;

}  // namespace

std::unique_ptr<XDisplay> XDisplay::Open(std::string& error) {
    if (std::getenv("DISPLAY") == nullptr) {
        error = "no X display (DISPLAY is not set; the test script starts Xvfb with trayer)";
        return nullptr;
    }
    int screenNumber = 0;
    xcb_connection_t* connection = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(connection) != 0) {
        xcb_disconnect(connection);
        error = std::string("cannot connect to the X display ") + std::getenv("DISPLAY");
        return nullptr;
    }
    auto screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i) xcb_screen_next(&screens);
    if (screens.rem == 0) {
        xcb_disconnect(connection);
        error = "the X display has no screen " + std::to_string(screenNumber);
        return nullptr;
    }
    return std::unique_ptr<XDisplay>(new XDisplay(connection, screens.data, screenNumber));
}

bool XDisplay::HasXTest() const {
#ifdef CORVANE_TRAY_XTEST
    const auto* extension = xcb_get_extension_data(connection_.get(), &xcb_test_id);
    return extension != nullptr && extension->present != 0;
#else
    return false;
#endif
}

xcb_atom_t XDisplay::Atom(const std::string& name) const {
    Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
        connection_.get(), xcb_intern_atom(connection_.get(), 0, static_cast<std::uint16_t>(name.size()), name.data()),
        nullptr));
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

xcb_window_t XDisplay::TrayOwner() const {
    const xcb_atom_t selection = Atom("_NET_SYSTEM_TRAY_S" + std::to_string(screenNumber_));
    if (selection == XCB_ATOM_NONE) return XCB_WINDOW_NONE;
    Reply<xcb_get_selection_owner_reply_t> reply(xcb_get_selection_owner_reply(
        connection_.get(), xcb_get_selection_owner(connection_.get(), selection), nullptr));
    return reply ? reply->owner : xcb_window_t{XCB_WINDOW_NONE};
}

std::optional<xcb_window_t> XDisplay::Parent(xcb_window_t window) const {
    Reply<xcb_query_tree_reply_t> reply(
        xcb_query_tree_reply(connection_.get(), xcb_query_tree(connection_.get(), window), nullptr));
    if (!reply) return std::nullopt;
    return reply->parent;
}

std::vector<xcb_window_t> XDisplay::Children(xcb_window_t window) const {
    Reply<xcb_query_tree_reply_t> reply(
        xcb_query_tree_reply(connection_.get(), xcb_query_tree(connection_.get(), window), nullptr));
    if (!reply) return {};
    const auto* first = xcb_query_tree_children(reply.get());
    return std::vector<xcb_window_t>(first, first + xcb_query_tree_children_length(reply.get()));
}

std::optional<std::uint32_t> XDisplay::Pid(xcb_window_t window) const {
    static const xcb_atom_t pidAtom = Atom("_NET_WM_PID");
    Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        connection_.get(), xcb_get_property(connection_.get(), 0, window, pidAtom, XCB_ATOM_CARDINAL, 0, 1), nullptr));
    if (!reply || reply->format != 32 || xcb_get_property_value_length(reply.get()) != 4) return std::nullopt;
    std::uint32_t pid = 0;
    std::memcpy(&pid, xcb_get_property_value(reply.get()), sizeof pid);
    return pid;
}

// Every X client's windows carry the client's resource base in their ids.
std::uint32_t XDisplay::Client(xcb_window_t window) const {
    return window & ~xcb_get_setup(connection_.get())->resource_id_mask;
}

std::vector<xcb_window_t> XDisplay::WindowsInTray(int pid) const {
    std::vector<xcb_window_t> found;
    const xcb_window_t owner = TrayOwner();
    if (owner == XCB_WINDOW_NONE) return found;
    std::vector<xcb_window_t> pending{screen_->root};
    while (!pending.empty()) {
        const xcb_window_t window = pending.back();
        pending.pop_back();
        for (xcb_window_t child : Children(window)) {
            pending.push_back(child);
            const auto childPid = Pid(child);
            if (window != screen_->root && childPid && *childPid == static_cast<std::uint32_t>(pid) &&
                Client(window) == Client(owner))
                found.push_back(child);
        }
    }
    return found;
}

bool XDisplay::Viewable(xcb_window_t window) const {
    Reply<xcb_get_window_attributes_reply_t> reply(xcb_get_window_attributes_reply(
        connection_.get(), xcb_get_window_attributes(connection_.get(), window), nullptr));
    return reply && reply->map_state == XCB_MAP_STATE_VIEWABLE;
}

std::optional<ScreenRect> XDisplay::PlaceOnScreen(xcb_window_t window) const {
    Reply<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(connection_.get(), xcb_get_geometry(connection_.get(), window), nullptr));
    Reply<xcb_translate_coordinates_reply_t> origin(xcb_translate_coordinates_reply(
        connection_.get(), xcb_translate_coordinates(connection_.get(), window, screen_->root, 0, 0), nullptr));
    if (!geometry || !origin) return std::nullopt;
    return ScreenRect{origin->dst_x, origin->dst_y, geometry->width, geometry->height};
}

std::optional<QColor> XDisplay::ColourAt(int x, int y) const {
    Reply<xcb_get_image_reply_t> image(
        xcb_get_image_reply(connection_.get(),
                            xcb_get_image(connection_.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, screen_->root,
                                          static_cast<std::int16_t>(x), static_cast<std::int16_t>(y), 1, 1, ~0u),
                            nullptr));
    // A true-colour screen of depth 24 or 32 gives one 32-bit pixel in the server's byte order.
    if (!image || image->depth < 24 || xcb_get_image_data_length(image.get()) < 4) return std::nullopt;
    const auto* bytes = xcb_get_image_data(image.get());
    const bool lsbFirst = xcb_get_setup(connection_.get())->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST;
    const std::uint32_t pixel =
        lsbFirst ? bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<std::uint32_t>(bytes[3]) << 24
                 : bytes[3] | bytes[2] << 8 | bytes[1] << 16 | static_cast<std::uint32_t>(bytes[0]) << 24;
    return QColor((pixel >> 16) & 0xff, (pixel >> 8) & 0xff, pixel & 0xff);
}

bool XDisplay::FakeInput(std::uint8_t type, std::uint8_t detail, int x, int y) const {
#ifndef CORVANE_TRAY_XTEST
    static_cast<void>(type), static_cast<void>(detail), static_cast<void>(x), static_cast<void>(y);
    return false;
#else
    const auto cookie = xcb_test_fake_input_checked(connection_.get(), type, detail, XCB_CURRENT_TIME, screen_->root,
                                                    static_cast<std::int16_t>(x), static_cast<std::int16_t>(y), 0);
    Reply<xcb_generic_error_t> error(xcb_request_check(connection_.get(), cookie));
    return error == nullptr;
#endif
}

bool XDisplay::MovePointer(int x, int y) const { return FakeInput(XCB_MOTION_NOTIFY, 0, x, y); }
bool XDisplay::PressButton(int button) const {
    return FakeInput(XCB_BUTTON_PRESS, static_cast<std::uint8_t>(button), 0, 0);
}
bool XDisplay::ReleaseButton(int button) const {
    return FakeInput(XCB_BUTTON_RELEASE, static_cast<std::uint8_t>(button), 0, 0);
}

}  // namespace corvane::platform::testing
