// The settings menus' item groups and the record elements that select their items.
#pragma once

#include "settings/SettingsFile.h"

#include <QAction>

#include <array>
#include <optional>

// The item a record element selects by its index, or nullptr when it names none of the group.
template<std::size_t N>
QAction *selectedItem(const std::array<QAction *, N> &items, const QString &element)
{
    const std::optional<int> index = whole(element);
    if (!index || *index < 0 || *index >= int(N))
        return nullptr;
    return items[std::size_t(*index)];
}

template<std::size_t N> void clearMarks(const std::array<QAction *, N> &items)
{
    for (QAction *item : items)
        item->setChecked(false);
}
