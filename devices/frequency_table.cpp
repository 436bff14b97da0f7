#include "devices/frequency_table.h"

#include <array>

namespace devices {
namespace {

// Korean T-DMB, band III channels 7A to 13C.
constexpr std::array<std::int32_t, 21> kKoreaBandIII = {
    175280, 177008, 178736, 181280, 183008, 184736, 187280, 189008, 190736, 193280, 195008,
    196736, 199280, 201008, 202736, 205280, 207008, 208736, 211280, 213008, 214736};

// The DAB L-band channels LA to LW of EN 300 401.
constexpr std::array<std::int32_t, 23> kLBand = {
    1452960, 1454672, 1456384, 1458096, 1459808, 1461520, 1463232, 1464944,
    1466656, 1468368, 1470080, 1471792, 1473504, 1475216, 1476928, 1478640,
    1480352, 1482064, 1483776, 1485488, 1487200, 1488912, 1490624};

// The DAB band III channels 5A to 13F of EN 300 401, without the N channels
// (10N, 11N, 12N), which overlap their neighbours.
constexpr std::array<std::int32_t, 38> kDabBandIII = {
    174928, 176640, 178352, 180064, 181936, 183648, 185360, 187072, 188928, 190640,
    192352, 194064, 195936, 197648, 199360, 201072, 202928, 204640, 206352, 208064,
    209936, 211648, 213360, 215072, 216928, 218640, 220352, 222064, 223936, 225648,
    227360, 229072, 230784, 232496, 234208, 235776, 237488, 239200};

}  // namespace

std::optional<std::span<const std::int32_t>> FrequencyTable(std::int32_t country,
                                                            std::int32_t band) {
    if (country == kCountryKorea && band == 0) {
        return kKoreaBandIII;
    }
    if (country == kCountryChina && band == 0) {
        return kLBand;
    }
    if (country == kCountryChina && band == 1) {
        return kDabBandIII;
    }
    return std::nullopt;
}

}  // namespace devices
