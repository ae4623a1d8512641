#include "ui/PopoverState.h"

#include <QSettings>
#include <QVariantMap>

#include <algorithm>
#include <cmath>
#include <limits>

namespace tesselwick::ui {

namespace {

// Booleans convert to numbers in QVariant; a stored `true` must not pass as 1.
bool isNumber(const QVariant& value) {
    switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Double:
    case QMetaType::Float:
        return true;
    default:
        return false;
    }
}

std::optional<double> finiteNumber(const QVariant& value) {
    if (!isNumber(value)) {
        return std::nullopt;
    }
    const double number = value.toDouble();
    return std::isfinite(number) ? std::optional<double>(number) : std::nullopt;
}

std::optional<std::int64_t> count(const QVariant& value) {
    if (!isNumber(value)) {
        return std::nullopt;
    }
    if (value.typeId() == QMetaType::ULongLong || value.typeId() == QMetaType::ULong) {
        const auto number = value.toULongLong();
        if (number > static_cast<qulonglong>(std::numeric_limits<std::int64_t>::max())) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(number);
    }
    if (value.typeId() == QMetaType::Double || value.typeId() == QMetaType::Float) {
        const double number = value.toDouble();
        // 2^63 itself is the first double beyond the signed range.
        if (!std::isfinite(number) || std::floor(number) != number || number < 0 ||
            number >= 9223372036854775808.0) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(number);
    }
    const auto number = value.toLongLong();
    return number < 0 ? std::nullopt : std::optional<std::int64_t>(number);
}

} // namespace

double PopoverState::bodyAreaHeight(bool isExpanded, std::size_t volumeCount) {
    const Mode& m = mode(isExpanded);
    if (volumeCount == 0) {
        return m.emptyBodyHeight;
    }
    const auto rows = static_cast<double>(std::min(volumeCount, m.visibleRows));
    return std::max(rows - 1, 0.0) * m.rowGap + rows * m.rowHeight + m.listPadding;
}

double PopoverState::preferredHeight(bool isExpanded, std::size_t volumeCount) {
    const Mode& m = mode(isExpanded);
    const double height = m.fixedHeight() + bodyAreaHeight(isExpanded, volumeCount);
    return std::min(std::max(height, m.minimumHeight), m.maximumHeight);
}

double PopoverState::bodyHeightIn(bool isExpanded, double height) {
    return height - mode(isExpanded).fixedHeight();
}

QSizeF PopoverState::sizeBeforeFirstScan(bool isExpanded,
                                         const std::optional<PopoverLayout>& saved) {
    const Mode& m = mode(isExpanded);
    const auto savedCount = static_cast<std::size_t>(saved ? saved->volumeCount : 0);
    const double height = preferredHeight(isExpanded, savedCount);
    if (saved && std::fabs(saved->width - m.width) <= 0.5 && saved->height >= m.minimumHeight &&
        saved->height <= m.maximumHeight) {
        return {saved->width, saved->height};
    }
    return {m.width, height};
}

bool PopoverState::isExpanded() const {
    // An INI file hands booleans back as the text "true" or "false".
    return settings_.value(kExpandedKey, false).toBool();
}

void PopoverState::setExpanded(bool expanded) {
    settings_.setValue(kExpandedKey, expanded);
}

std::optional<PopoverLayout> PopoverState::savedLayout() const {
    const QVariant stored = settings_.value(kLayoutKey);
    if (stored.typeId() != QMetaType::QVariantMap) {
        return std::nullopt;
    }
    const QVariantMap map = stored.toMap();
    const auto width = finiteNumber(map.value(QStringLiteral("width")));
    const auto height = finiteNumber(map.value(QStringLiteral("height")));
    const auto volumeCount = count(map.value(QStringLiteral("volumeCount")));
    if (!width || !height || !volumeCount) {
        return std::nullopt;
    }
    return PopoverLayout{*width, *height, *volumeCount};
}

QSizeF PopoverState::restoredPreferredSize() const {
    return sizeBeforeFirstScan(isExpanded(), savedLayout());
}

const PopoverState::Mode* PopoverState::acceptedMode(QSizeF size) {
    if (!std::isfinite(size.width()) || !std::isfinite(size.height())) {
        return nullptr;
    }
    for (const Mode* m : {&kCompact, &kExpanded}) {
        if (std::fabs(size.width() - m->width) <= 0.5) {
            const bool fits =
                size.height() >= m->minimumHeight && size.height() <= m->maximumHeight;
            return fits ? m : nullptr;
        }
    }
    return nullptr;
}

void PopoverState::storePreferredSize(QSizeF size) {
    if (acceptedMode(size) == nullptr) {
        return;
    }
    const auto saved = savedLayout();
    storeLayout(size, saved ? saved->volumeCount : 0);
}

void PopoverState::storePreferredLayout(QSizeF size, std::int64_t volumeCount) {
    if (acceptedMode(size) == nullptr || volumeCount < 0) {
        return;
    }
    storeLayout(size, volumeCount);
}

void PopoverState::storeLayout(QSizeF size, std::int64_t volumeCount) {
    const PopoverLayout layout{size.width(), size.height(), volumeCount};
    if (savedLayout() == layout) {
        return;
    }
    settings_.setValue(kLayoutKey, QVariantMap{{QStringLiteral("width"), layout.width},
                                               {QStringLiteral("height"), layout.height},
                                               {QStringLiteral("volumeCount"),
                                                QVariant::fromValue<qlonglong>(volumeCount)}});
}

} // namespace tesselwick::ui
