#include "device/product_table.h"

#include <algorithm>
#include <utility>

namespace Device {

namespace {

// Built on first use, so that other static initialisers may use the table safely.
Products const& table() {
    static Products const rows({
        {Type::invalid, "invalid", "Invalid", "N/A", "N/A"},
        {Type::undefined, "undefined", "Undefined", "?", "?"},
        {Type::KORV, "KORV", "Korvane", "Lx-20", "Lx-20 Skylink"},
        {Type::DAVO, "DAVO", "Davon", "Lx-21", "Kelvora Lx-21"},
        {Type::FENK, "FENK", "Fenka", "M4", "M4 Skylink"},
        {Type::M4I, "M4I", "M4i", "M4 Industrial", "M4 Industrial"},
        {Type::NIRA, "NIRA", "Nirad", "Q5X", "Kelvora Q5 & Q5X"},
        {Type::SOVA, "SOVA", "Sova", "Q50", "Kelvora Q50"},
        {Type::WEXL, "WEXL", "Wexlund", "T8 or T8X", "Kelvora T8X & T8 series"},
        {Type::unknown, "unknown", "Unknown", "unknown", "unknown"},
    });
    return rows;
}

} // namespace

Products const& products = table();

Products::Products(std::vector<ProductRecord> rows) : rows_(std::move(rows)) {}

Products::const_iterator Products::find(Type type) const {
    return std::find_if(rows_.begin(), rows_.end(),
                        [type](ProductRecord const& row) { return row.type == type; });
}

Products::const_iterator Products::find(unsigned char type) const {
    return find(static_cast<Type>(type));
}

Products::const_iterator Products::find(QString const& code) const {
    return std::find_if(rows_.begin(), rows_.end(),
                        [&code](ProductRecord const& row) { return row.code == code; });
}

bool is_valid(Type t) {
    return t != Type::invalid && t != Type::undefined;
}

bool is_known(Type t) {
    return is_valid(t) && t != Type::unknown;
}

Type to_Type(unsigned char b) {
    auto const it = table().find(b);
    return it == table().end() ? Type::unknown : it->type;
}

Type to_Type(QString const& s) {
    if (s.isEmpty())
        return Type::invalid;
    auto const it = table().find(s);
    return it == table().end() ? Type::unknown : it->type;
}

QString to_QString(Type t) {
    auto const it = table().find(t);
    return it == table().end() ? QStringLiteral("impossible type") : it->code;
}

std::string to_string(Type t) {
    return to_QString(t).toStdString();
}

std::ostream& operator<<(std::ostream& os, Type t) {
    return os << to_string(t);
}

QDebug operator<<(QDebug debug, Type t) {
    QDebugStateSaver saver(debug);
    debug.noquote() << to_QString(t);
    return debug;
}

QString ProductInfo::product_name() const {
    auto const it = table().find(type);
    return it == table().end() ? QString() : it->name;
}

QString ProductInfo::product_name_full() const {
    auto const it = table().find(type);
    return it == table().end() ? QString() : it->name_full;
}

ProductInfo::operator QString() const {
    QString text = QStringLiteral("ProductInfo: %1 (%2)")
                       .arg(to_QString(type))
                       .arg(static_cast<unsigned>(type));
    if (type == Type::unknown || extra1 != 0xFF || extra2 != 0xFF || extra3 != 0xFF) {
        auto const hex = [](int value) {
            return QStringLiteral("%1").arg(value, 2, 16, QChar('0'));
        };
        text += QStringLiteral(" [%1 %2 %3 %4]")
                    .arg(hex(raw_type), hex(extra1), hex(extra2), hex(extra3));
    }
    return text;
}

ProductInfo make_ProductInfo(ProductInfoRaw raw) {
    ProductInfo info;
    info.type = to_Type(raw.type_code);
    info.extra1 = raw.extra1;
    info.extra2 = raw.extra2;
    info.extra3 = raw.extra3;
    info.raw_type = raw.type_code;
    return info;
}

bool operator==(ProductInfo const& a, ProductInfo const& b) {
    return a.type == b.type;
}

bool operator!=(ProductInfo const& a, ProductInfo const& b) {
    return !(a == b);
}

QDebug operator<<(QDebug debug, ProductInfo const& info) {
    QDebugStateSaver saver(debug);
    debug.noquote() << QString(info);
    return debug;
}

} // namespace Device
