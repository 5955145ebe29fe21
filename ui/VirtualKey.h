#pragma once
#include <Qt>

// Key codes of the classic virtual-key table, which the windows' key handlers speak.
inline constexpr int VK_DELETE = 46;
inline constexpr int VK_F5 = 116;
inline constexpr int VK_F6 = 117;

inline int VirtualKeyCode(int qtKey)
{
    if (qtKey >= Qt::Key_F1 && qtKey <= Qt::Key_F24)
        return 112 + (qtKey - Qt::Key_F1);
    switch (qtKey) {
    case Qt::Key_Delete: return VK_DELETE;
    case Qt::Key_Return:
    case Qt::Key_Enter: return 13;
    case Qt::Key_Escape: return 27;
    default: return qtKey < 128 ? qtKey : 0;
    }
}
