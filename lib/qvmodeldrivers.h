// The built-in model drivers, in registration order: the position in this table
// is the DriverIndex that selects the driver once TqvGsm has added them all.
// Detection tries them in this order, so a driver that claims a whole maker
// stays behind the ones that claim some of its models.
#pragma once

#include <array>
#include <string_view>

#include "qvapi.h"

QV_API_BEGIN

namespace qv {

struct TqvModelDriver {
  std::u16string_view Caption;
  std::string_view Script;  // name of the embedded script (lib/drivers/)
};

inline constexpr std::array<TqvModelDriver, 26> kModelDrivers = {{
    {u"Nokia 6230i", "QVGSM_NOKIA6230I"},
    {u"Nokia 7110", "QVGSM_NOKIA7110"},
    {u"Nokia 6120", "QVGSM_NOKIA6120"},
    {u"Nokia 5310", "QVGSM_NOKIA5310"},
    {u"Nokia CS-10", "QVGSM_NOKIACS10"},
    {u"Samsung SGH-C120", "QVGSM_SAMSUNG_SGH_C120"},
    {u"Sony Ericsson T630", "QVGSM_SET630"},
    {u"Siemens A65", "QVGSM_SIEMENS_A65"},
    {u"Siemens M35i[t]", "QVGSM_SIEMENS_MC35I"},
    {u"Wavecom Modem", "QVGSM_WAVECOM_MULTIBAND_900E"},
    {u"Wavecom Wireless CPU", "QVGSM_WAVECOM_WIRELESS_CPU"},
    {u"BenQ M2x", "QVGSM_BENQ_M22"},
    {u"Huawei E220", "QVGSM_HUAWEI_E220"},
    {u"Simcom SIM340", "QVGSM_SIMCOM_SIM340"},
    {u"Simcom SIM7600", "QVGSM_SIMCOM_SIM7600"},
    {u"iTegno (iWOW)", "QVGSM_ITEGNO_IWOW"},
    {u"Novatel Ovation MC950D", "QVGSM_NOVATEL_OVATION_MC950"},
    {u"Sierra Wireless", "QVGSM_SIERRA_WIRELESS"},
    {u"ZTE", "QVGSM_ZTE"},
    {u"Quectel EC2x/EG2x", "QVGSM_QUECTEL_EC2X"},
    {u"Quectel BG9x", "QVGSM_QUECTEL_BG9X"},
    {u"Simcom SIM800/SIM900", "QVGSM_SIMCOM_SIM800"},
    {u"u-blox SARA/LARA", "QVGSM_UBLOX"},
    {u"Telit LE910", "QVGSM_TELIT_LE910"},
    {u"Huawei ME909/E3372", "QVGSM_HUAWEI_ME909"},
    // Last: any modem that answers AT and that no driver above claims.
    {u"Generic 3GPP modem", "QVGSM_GENERIC"},
}};

}  // namespace qv

QV_API_END
