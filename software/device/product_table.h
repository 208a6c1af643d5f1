#pragma once

#include <QDebug>
#include <QString>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

// Product types and the one table that maps a stored type byte to its code and names.
//
// A product identification is stored as four bytes, in the OTP record and in the
// firmware information block alike:
//
//   offset  width  content
//   0       1      type code (a Device::Type value)
//   1       3      extra1..extra3, 0xFF when not used
namespace Device {

// One stored byte. 0x00, 0xFF and 0xFE are generic rows; every other row is a product.
enum class Type : std::uint8_t {
    invalid = 0x00,   // no usable identification
    undefined = 0xFF, // erased byte
    unknown = 0xFE,   // a stored byte without a row
    KORV = 0x03,
    DAVO = 0x04,
    FENK = 0x2B,
    M4I = 0x0B,
    NIRA = 0x84,
    SOVA = 0x1E,
    WEXL = 0x8C,
};

struct ProductRecord {
    Type type;
    QString code;
    QString code_name;
    QString name;
    QString name_full;
};

class Products {
public:
    using const_iterator = std::vector<ProductRecord>::const_iterator;

    explicit Products(std::vector<ProductRecord> rows);

    const_iterator begin() const { return rows_.begin(); }
    const_iterator end() const { return rows_.end(); }
    std::size_t size() const { return rows_.size(); }
    ProductRecord const& operator[](std::size_t i) const { return rows_[i]; }

    // First row whose type (or code, compared case-sensitively) equals the key, else end().
    const_iterator find(Type type) const;
    const_iterator find(unsigned char type) const;
    const_iterator find(QString const& code) const;

private:
    std::vector<ProductRecord> rows_;
};

// The fixed table of the ten known rows. The functions below do not go through this
// reference, so they are safe to call from other static initialisers too.
extern Products const& products;

bool is_valid(Type t); // false for invalid and undefined
bool is_known(Type t); // false for invalid, undefined and unknown

Type to_Type(unsigned char b);  // b when it has a row, else unknown
Type to_Type(QString const& s); // invalid for "", the row of the code, else unknown
QString to_QString(Type t);     // the row's code, or "impossible type"
std::string to_string(Type t);  // the same, UTF-8

std::ostream& operator<<(std::ostream& os, Type t);
QDebug operator<<(QDebug debug, Type t);

// The identification exactly as stored.
struct ProductInfoRaw {
    std::uint8_t type_code = 0x00;
    std::uint8_t extra1 = 0xFF;
    std::uint8_t extra2 = 0xFF;
    std::uint8_t extra3 = 0xFF;
};

// The decoded identification. Default-constructed it is the "nothing decoded" value.
struct ProductInfo {
    Type type = Type::invalid;
    std::uint8_t extra1 = 0xFF;
    std::uint8_t extra2 = 0xFF;
    std::uint8_t extra3 = 0xFF;
    std::int32_t raw_type = 0; // the stored type byte before the table lookup

    QString product_name() const;      // empty when the type has no row
    QString product_name_full() const; // empty when the type has no row

    // "ProductInfo: CODE (type)" and, for unknown types or used extra bytes,
    // " [raw extra1 extra2 extra3]" in two-digit hex.
    operator QString() const;
};

ProductInfo make_ProductInfo(ProductInfoRaw raw);

// Identifications are equal when their types are; extra bytes and raw_type take no part.
bool operator==(ProductInfo const& a, ProductInfo const& b);
bool operator!=(ProductInfo const& a, ProductInfo const& b);

// Writes the printable text unquoted and leaves the stream's formatting as it was.
QDebug operator<<(QDebug debug, ProductInfo const& info);

} // namespace Device
