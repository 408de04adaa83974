// Identifiers of the precursor network that the library treats specially,
// each with the reason it does.
#pragma once

namespace kelvane::core::ids {

// Items left out of the by-item figures: 3128 and 3129 are instrument-state
// channels recorded beside the fluxgate's field components (3128 is the
// instrument's temperature), not observations of the field.
inline constexpr const char* kFluxgateTemperature = "3128";
inline constexpr const char* kFluxgateState = "3129";
// The placeholder id the network gives rows that belong to no real station
// or item; never drawn.
inline constexpr const char* kPlaceholder = "999999";
// The NS and EW supply currents of a resistivity array: they say how the
// measurement was driven, and the by-station figures leave them out.
inline constexpr const char* kSupplyCurrentNS = "3215";
inline constexpr const char* kSupplyCurrentEW = "3216";
// The meteorological method (pressure, temperature, rainfall): auxiliary
// data, never offered as a method of its own by the method lookups.
inline constexpr const char* kWeatherMethod = "417";
// Station 370082's NS and EW resistivity (3211, 3212) reads below 8 ohm-m
// only when its array is faulty: such readings are blanked out by the
// resistivity preset.
inline constexpr const char* kFaultyResistivityStation = "370082";
inline constexpr const char* kResistivityNS = "3211";
inline constexpr const char* kResistivityEW = "3212";
inline constexpr int kFaultyResistivityBelow = 8;

}  // namespace kelvane::core::ids
