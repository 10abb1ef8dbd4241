#pragma once

namespace kestrune {

// The program's own window messages (numbers above WM_USER = 1024).
enum WindowMessage : unsigned {
    MSG_ROW_COMMAND = 0, // a row's Start button was clicked; wParam = its control id
    // The second press of a mouse double click on a row's Start button (a button's
    // "double clicked" notification); wParam = its control id.
    MSG_ROW_DOUBLECLICKED = 5,
    MSG_SETTINGS_NORMAL = 3024,
    MSG_SETTINGS_HOVER = 3025,
    MSG_SETTINGS_PRESSED = 3026,
    MSG_ABOUT_NORMAL = 3027,
    MSG_ABOUT_HOVER = 3028,
    MSG_ABOUT_PRESSED = 3029,
    MSG_UPDATE_NORMAL = 3030,
    MSG_UPDATE_HOVER = 3031,
    MSG_UPDATE_PRESSED = 3032,
    UM_DEVICELIST_EMPTY = 4025,
    UM_DEVICELIST_FILLED = 4026,
};

} // namespace kestrune
