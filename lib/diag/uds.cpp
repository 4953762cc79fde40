/*
 * uds.cpp - UDS and OBD-II names, formulas and the descriptions of
 * diagnostic messages.
 */
#include "uds.h"
#include "writer.h"

#include <locale.h>
#include <stdio.h>
#include <string.h>

using dgw::writer;

const dg_texts dg_texts_en = {
    {"off", "on", "reserved", "n/a"},
    {"slow flash", "fast flash", "reserved", ""},
    "none",
    "text",
    nullptr,
};

const char *dg_tr(const dg_texts *tx, const char *text)
{
    return tx && tx->tr ? tx->tr(text) : text;
}

int uds_kind_of(uint8_t sid)
{
    if (sid == 0x7F)
        return UDS_NEGATIVE;
    return (sid & 0x40) ? UDS_POSITIVE : UDS_REQUEST;
}

int uds_request_sid(const uint8_t *data, uint32_t len)
{
    if (len < 1)
        return -1;
    switch (uds_kind_of(data[0])) {
    case UDS_NEGATIVE: return len >= 2 ? data[1] : -1;
    case UDS_POSITIVE: return data[0] - 0x40;
    default: return data[0];
    }
}

int uds_is_obd(int sid)
{
    return sid >= 0x01 && sid <= 0x0A;
}

namespace {

bool has_suppress_bit(uint8_t sid)
{
    switch (sid) {
    case 0x10: case 0x11: case 0x27: case 0x28: case 0x29: case 0x2C: case 0x31:
    case 0x3E: case 0x83: case 0x85: case 0x86: case 0x87:
        return true;
    default:
        return false;
    }
}

bool has_subfunction(uint8_t sid)
{
    return has_suppress_bit(sid) || sid == 0x19;
}

}  // namespace

int uds_suppresses_response(const uint8_t *data, uint32_t len)
{
    return len >= 2 && uds_kind_of(data[0]) == UDS_REQUEST && has_suppress_bit(data[0]) &&
           (data[1] & 0x80);
}

const char *uds_service_name(uint8_t sid)
{
    switch (sid) {
    case 0x10: return "DiagnosticSessionControl";
    case 0x11: return "ECUReset";
    case 0x14: return "ClearDiagnosticInformation";
    case 0x19: return "ReadDTCInformation";
    case 0x22: return "ReadDataByIdentifier";
    case 0x23: return "ReadMemoryByAddress";
    case 0x24: return "ReadScalingDataByIdentifier";
    case 0x27: return "SecurityAccess";
    case 0x28: return "CommunicationControl";
    case 0x29: return "Authentication";
    case 0x2A: return "ReadDataByPeriodicIdentifier";
    case 0x2C: return "DynamicallyDefineDataIdentifier";
    case 0x2E: return "WriteDataByIdentifier";
    case 0x2F: return "InputOutputControlByIdentifier";
    case 0x31: return "RoutineControl";
    case 0x34: return "RequestDownload";
    case 0x35: return "RequestUpload";
    case 0x36: return "TransferData";
    case 0x37: return "RequestTransferExit";
    case 0x38: return "RequestFileTransfer";
    case 0x3D: return "WriteMemoryByAddress";
    case 0x3E: return "TesterPresent";
    case 0x83: return "AccessTimingParameter";
    case 0x84: return "SecuredDataTransmission";
    case 0x85: return "ControlDTCSetting";
    case 0x86: return "ResponseOnEvent";
    case 0x87: return "LinkControl";
    default: return nullptr;
    }
}

const char *uds_nrc_name(uint8_t nrc)
{
    switch (nrc) {
    case 0x10: return "generalReject";
    case 0x11: return "serviceNotSupported";
    case 0x12: return "subFunctionNotSupported";
    case 0x13: return "incorrectMessageLengthOrInvalidFormat";
    case 0x14: return "responseTooLong";
    case 0x21: return "busyRepeatRequest";
    case 0x22: return "conditionsNotCorrect";
    case 0x24: return "requestSequenceError";
    case 0x25: return "noResponseFromSubnetComponent";
    case 0x26: return "failurePreventsExecutionOfRequestedAction";
    case 0x31: return "requestOutOfRange";
    case 0x33: return "securityAccessDenied";
    case 0x34: return "authenticationRequired";
    case 0x35: return "invalidKey";
    case 0x36: return "exceedNumberOfAttempts";
    case 0x37: return "requiredTimeDelayNotExpired";
    case 0x70: return "uploadDownloadNotAccepted";
    case 0x71: return "transferDataSuspended";
    case 0x72: return "generalProgrammingFailure";
    case 0x73: return "wrongBlockSequenceCounter";
    case 0x78: return "requestCorrectlyReceived-ResponsePending";
    case 0x7E: return "subFunctionNotSupportedInActiveSession";
    case 0x7F: return "serviceNotSupportedInActiveSession";
    case 0x81: return "rpmTooHigh";
    case 0x82: return "rpmTooLow";
    case 0x83: return "engineIsRunning";
    case 0x84: return "engineIsNotRunning";
    case 0x85: return "engineRunTimeTooLow";
    case 0x86: return "temperatureTooHigh";
    case 0x87: return "temperatureTooLow";
    case 0x88: return "vehicleSpeedTooHigh";
    case 0x89: return "vehicleSpeedTooLow";
    case 0x8A: return "throttle/PedalTooHigh";
    case 0x8B: return "throttle/PedalTooLow";
    case 0x8C: return "transmissionRangeNotInNeutral";
    case 0x8D: return "transmissionRangeNotInGear";
    case 0x8F: return "brakeSwitch(es)NotClosed";
    case 0x90: return "shifterLeverNotInPark";
    case 0x91: return "torqueConverterClutchLocked";
    case 0x92: return "voltageTooHigh";
    case 0x93: return "voltageTooLow";
    case 0x94: return "resourceTemporarilyNotAvailable";
    default: return nullptr;
    }
}

const char *uds_subfunction_name(uint8_t sid, uint8_t sub)
{
    sub &= 0x7F;
    switch (sid) {
    case 0x10:
        switch (sub) {
        case 1: return "defaultSession";
        case 2: return "programmingSession";
        case 3: return "extendedDiagnosticSession";
        case 4: return "safetySystemDiagnosticSession";
        }
        break;
    case 0x11:
        switch (sub) {
        case 1: return "hardReset";
        case 2: return "keyOffOnReset";
        case 3: return "softReset";
        case 4: return "enableRapidPowerShutDown";
        case 5: return "disableRapidPowerShutDown";
        }
        break;
    case 0x19:
        switch (sub) {
        case 0x01: return "reportNumberOfDTCByStatusMask";
        case 0x02: return "reportDTCByStatusMask";
        case 0x03: return "reportDTCSnapshotIdentification";
        case 0x04: return "reportDTCSnapshotRecordByDTCNumber";
        case 0x05: return "reportDTCStoredDataByRecordNumber";
        case 0x06: return "reportDTCExtDataRecordByDTCNumber";
        case 0x07: return "reportNumberOfDTCBySeverityMaskRecord";
        case 0x08: return "reportDTCBySeverityMaskRecord";
        case 0x09: return "reportSeverityInformationOfDTC";
        case 0x0A: return "reportSupportedDTC";
        case 0x0B: return "reportFirstTestFailedDTC";
        case 0x0C: return "reportFirstConfirmedDTC";
        case 0x0D: return "reportMostRecentTestFailedDTC";
        case 0x0E: return "reportMostRecentConfirmedDTC";
        case 0x14: return "reportDTCFaultDetectionCounter";
        case 0x15: return "reportDTCWithPermanentStatus";
        }
        break;
    case 0x27:
        if (sub >= 1 && sub <= 0x7E)
            return (sub & 1) ? "requestSeed" : "sendKey";
        break;
    case 0x28:
        switch (sub) {
        case 0: return "enableRxAndTx";
        case 1: return "enableRxAndDisableTx";
        case 2: return "disableRxAndEnableTx";
        case 3: return "disableRxAndTx";
        case 4: return "enableRxAndDisableTxWithEnhancedAddressInformation";
        case 5: return "enableRxAndTxWithEnhancedAddressInformation";
        }
        break;
    case 0x29:
        switch (sub) {
        case 0: return "deAuthenticate";
        case 1: return "verifyCertificateUnidirectional";
        case 2: return "verifyCertificateBidirectional";
        case 3: return "proofOfOwnership";
        case 4: return "transmitCertificate";
        case 5: return "requestChallengeForAuthentication";
        case 6: return "verifyProofOfOwnershipUnidirectional";
        case 7: return "verifyProofOfOwnershipBidirectional";
        case 8: return "authenticationConfiguration";
        }
        break;
    case 0x2C:
        switch (sub) {
        case 1: return "defineByIdentifier";
        case 2: return "defineByMemoryAddress";
        case 3: return "clearDynamicallyDefinedDataIdentifier";
        }
        break;
    case 0x31:
        switch (sub) {
        case 1: return "startRoutine";
        case 2: return "stopRoutine";
        case 3: return "requestRoutineResults";
        }
        break;
    case 0x3E:
        if (sub == 0)
            return "zeroSubFunction";
        break;
    case 0x83:
        switch (sub) {
        case 1: return "readExtendedTimingParameterSet";
        case 2: return "setTimingParametersToDefaultValues";
        case 3: return "readCurrentlyActiveTimingParameters";
        case 4: return "setTimingParametersToGivenValues";
        }
        break;
    case 0x85:
        switch (sub) {
        case 1: return "on";
        case 2: return "off";
        }
        break;
    case 0x87:
        switch (sub) {
        case 1: return "verifyModeTransitionWithFixedParameter";
        case 2: return "verifyModeTransitionWithSpecificParameter";
        case 3: return "transitionMode";
        }
        break;
    }
    return nullptr;
}

const char *uds_did_name(uint16_t did)
{
    switch (did) {
    case 0xF180: return "bootSoftwareIdentification";
    case 0xF181: return "applicationSoftwareIdentification";
    case 0xF182: return "applicationDataIdentification";
    case 0xF183: return "bootSoftwareFingerprint";
    case 0xF184: return "applicationSoftwareFingerprint";
    case 0xF185: return "applicationDataFingerprint";
    case 0xF186: return "ActiveDiagnosticSession";
    case 0xF187: return "vehicleManufacturerSparePartNumber";
    case 0xF188: return "vehicleManufacturerECUSoftwareNumber";
    case 0xF189: return "vehicleManufacturerECUSoftwareVersionNumber";
    case 0xF18A: return "systemSupplierIdentifier";
    case 0xF18B: return "ECUManufacturingDate";
    case 0xF18C: return "ECUSerialNumber";
    case 0xF18D: return "supportedFunctionalUnits";
    case 0xF18E: return "VehicleManufacturerKitAssemblyPartNumber";
    case 0xF190: return "VIN";
    case 0xF191: return "vehicleManufacturerECUHardwareNumber";
    case 0xF192: return "systemSupplierECUHardwareNumber";
    case 0xF193: return "systemSupplierECUHardwareVersionNumber";
    case 0xF194: return "systemSupplierECUSoftwareNumber";
    case 0xF195: return "systemSupplierECUSoftwareVersionNumber";
    case 0xF196: return "exhaustRegulationOrTypeApprovalNumber";
    case 0xF197: return "systemNameOrEngineType";
    case 0xF198: return "repairShopCodeOrTesterSerialNumber";
    case 0xF199: return "programmingDate";
    case 0xF19A: return "calibrationRepairShopCodeOrCalibrationEquipmentSerialNumber";
    case 0xF19B: return "calibrationDate";
    case 0xF19C: return "calibrationEquipmentSoftwareNumber";
    case 0xF19D: return "ECUInstallationDate";
    case 0xF19E: return "ODXFile";
    case 0xF19F: return "Entity";
    default: return nullptr;
    }
}

const char *obd_mode_name(uint8_t mode)
{
    switch (mode) {
    case 0x01: return "Show current data";
    case 0x02: return "Show freeze frame data";
    case 0x03: return "Show stored DTCs";
    case 0x04: return "Clear DTCs and stored values";
    case 0x05: return "Oxygen sensor monitoring test results";
    case 0x06: return "On-board monitoring test results";
    case 0x07: return "Show pending DTCs";
    case 0x08: return "Control operation of on-board component/system";
    case 0x09: return "Request vehicle information";
    case 0x0A: return "Permanent DTCs";
    default: return nullptr;
    }
}

namespace {

constexpr double PCT = 100.0 / 255.0;
constexpr double TRIM = 100.0 / 128.0;

/* Mode 01/02 parameters: bytes, raw bytes, signed, scale, offset. Scale 0
 * marks bit-encoded data (shown as hex). */
const obd_pid_info PIDS[] = {
    {0x00, 4, 0, 0, 0, 0, "PIDs supported [01-20]", ""},
    {0x01, 4, 0, 0, 0, 0, "Monitor status since DTCs cleared", ""},
    {0x02, 2, 0, 0, 0, 0, "DTC that caused freeze frame", ""},
    {0x03, 2, 0, 0, 0, 0, "Fuel system status", ""},
    {0x04, 1, 1, 0, PCT, 0, "Calculated engine load", "%"},
    {0x05, 1, 1, 0, 1, -40, "Engine coolant temperature", "\u00b0C"},
    {0x06, 1, 1, 0, TRIM, -100, "Short term fuel trim, bank 1", "%"},
    {0x07, 1, 1, 0, TRIM, -100, "Long term fuel trim, bank 1", "%"},
    {0x08, 1, 1, 0, TRIM, -100, "Short term fuel trim, bank 2", "%"},
    {0x09, 1, 1, 0, TRIM, -100, "Long term fuel trim, bank 2", "%"},
    {0x0A, 1, 1, 0, 3, 0, "Fuel pressure", "kPa"},
    {0x0B, 1, 1, 0, 1, 0, "Intake manifold absolute pressure", "kPa"},
    {0x0C, 2, 2, 0, 0.25, 0, "Engine speed", "rpm"},
    {0x0D, 1, 1, 0, 1, 0, "Vehicle speed", "km/h"},
    {0x0E, 1, 1, 0, 0.5, -64, "Timing advance", "\u00b0 before TDC"},
    {0x0F, 1, 1, 0, 1, -40, "Intake air temperature", "\u00b0C"},
    {0x10, 2, 2, 0, 0.01, 0, "Mass air flow sensor air flow rate", "g/s"},
    {0x11, 1, 1, 0, PCT, 0, "Throttle position", "%"},
    {0x12, 1, 0, 0, 0, 0, "Commanded secondary air status", ""},
    {0x13, 1, 0, 0, 0, 0, "Oxygen sensors present (in 2 banks)", ""},
    {0x14, 2, 1, 0, 0.005, 0, "Oxygen sensor 1 voltage", "V"},
    {0x15, 2, 1, 0, 0.005, 0, "Oxygen sensor 2 voltage", "V"},
    {0x16, 2, 1, 0, 0.005, 0, "Oxygen sensor 3 voltage", "V"},
    {0x17, 2, 1, 0, 0.005, 0, "Oxygen sensor 4 voltage", "V"},
    {0x18, 2, 1, 0, 0.005, 0, "Oxygen sensor 5 voltage", "V"},
    {0x19, 2, 1, 0, 0.005, 0, "Oxygen sensor 6 voltage", "V"},
    {0x1A, 2, 1, 0, 0.005, 0, "Oxygen sensor 7 voltage", "V"},
    {0x1B, 2, 1, 0, 0.005, 0, "Oxygen sensor 8 voltage", "V"},
    {0x1C, 1, 0, 0, 0, 0, "OBD standards this vehicle conforms to", ""},
    {0x1D, 1, 0, 0, 0, 0, "Oxygen sensors present (in 4 banks)", ""},
    {0x1E, 1, 0, 0, 0, 0, "Auxiliary input status", ""},
    {0x1F, 2, 2, 0, 1, 0, "Run time since engine start", "s"},
    {0x20, 4, 0, 0, 0, 0, "PIDs supported [21-40]", ""},
    {0x21, 2, 2, 0, 1, 0, "Distance traveled with MIL on", "km"},
    {0x22, 2, 2, 0, 0.079, 0, "Fuel rail pressure (relative to manifold vacuum)", "kPa"},
    {0x23, 2, 2, 0, 10, 0, "Fuel rail gauge pressure", "kPa"},
    {0x24, 4, 2, 0, 2.0 / 65536, 0, "Oxygen sensor 1 air-fuel equivalence ratio", "\u03bb"},
    {0x25, 4, 2, 0, 2.0 / 65536, 0, "Oxygen sensor 2 air-fuel equivalence ratio", "\u03bb"},
    {0x26, 4, 2, 0, 2.0 / 65536, 0, "Oxygen sensor 3 air-fuel equivalence ratio", "\u03bb"},
    {0x27, 4, 2, 0, 2.0 / 65536, 0, "Oxygen sensor 4 air-fuel equivalence ratio", "\u03bb"},
    {0x28, 4, 2, 0, 2.0 / 65536, 0, "Oxygen sensor 5 air-fuel equivalence ratio", "\u03bb"},
    {0x29, 4, 2, 0, 2.0 / 65536, 0, "Oxygen sensor 6 air-fuel equivalence ratio", "\u03bb"},
    {0x2A, 4, 2, 0, 2.0 / 65536, 0, "Oxygen sensor 7 air-fuel equivalence ratio", "\u03bb"},
    {0x2B, 4, 2, 0, 2.0 / 65536, 0, "Oxygen sensor 8 air-fuel equivalence ratio", "\u03bb"},
    {0x2C, 1, 1, 0, PCT, 0, "Commanded EGR", "%"},
    {0x2D, 1, 1, 0, TRIM, -100, "EGR error", "%"},
    {0x2E, 1, 1, 0, PCT, 0, "Commanded evaporative purge", "%"},
    {0x2F, 1, 1, 0, PCT, 0, "Fuel tank level input", "%"},
    {0x30, 1, 1, 0, 1, 0, "Warm-ups since codes cleared", ""},
    {0x31, 2, 2, 0, 1, 0, "Distance traveled since codes cleared", "km"},
    {0x32, 2, 2, 1, 0.25, 0, "Evap. system vapor pressure", "Pa"},
    {0x33, 1, 1, 0, 1, 0, "Absolute barometric pressure", "kPa"},
    {0x34, 4, 2, 0, 2.0 / 65536, 0, "Oxygen sensor 1 air-fuel equivalence ratio", "\u03bb"},
    {0x35, 4, 2, 0, 2.0 / 65536, 0, "Oxygen sensor 2 air-fuel equivalence ratio", "\u03bb"},
    {0x36, 4, 2, 0, 2.0 / 65536, 0, "Oxygen sensor 3 air-fuel equivalence ratio", "\u03bb"},
    {0x37, 4, 2, 0, 2.0 / 65536, 0, "Oxygen sensor 4 air-fuel equivalence ratio", "\u03bb"},
    {0x38, 4, 2, 0, 2.0 / 65536, 0, "Oxygen sensor 5 air-fuel equivalence ratio", "\u03bb"},
    {0x39, 4, 2, 0, 2.0 / 65536, 0, "Oxygen sensor 6 air-fuel equivalence ratio", "\u03bb"},
    {0x3A, 4, 2, 0, 2.0 / 65536, 0, "Oxygen sensor 7 air-fuel equivalence ratio", "\u03bb"},
    {0x3B, 4, 2, 0, 2.0 / 65536, 0, "Oxygen sensor 8 air-fuel equivalence ratio", "\u03bb"},
    {0x3C, 2, 2, 0, 0.1, -40, "Catalyst temperature, bank 1, sensor 1", "\u00b0C"},
    {0x3D, 2, 2, 0, 0.1, -40, "Catalyst temperature, bank 2, sensor 1", "\u00b0C"},
    {0x3E, 2, 2, 0, 0.1, -40, "Catalyst temperature, bank 1, sensor 2", "\u00b0C"},
    {0x3F, 2, 2, 0, 0.1, -40, "Catalyst temperature, bank 2, sensor 2", "\u00b0C"},
    {0x40, 4, 0, 0, 0, 0, "PIDs supported [41-60]", ""},
    {0x41, 4, 0, 0, 0, 0, "Monitor status this drive cycle", ""},
    {0x42, 2, 2, 0, 0.001, 0, "Control module voltage", "V"},
    {0x43, 2, 2, 0, PCT, 0, "Absolute load value", "%"},
    {0x44, 2, 2, 0, 2.0 / 65536, 0, "Commanded air-fuel equivalence ratio", "\u03bb"},
    {0x45, 1, 1, 0, PCT, 0, "Relative throttle position", "%"},
    {0x46, 1, 1, 0, 1, -40, "Ambient air temperature", "\u00b0C"},
    {0x47, 1, 1, 0, PCT, 0, "Absolute throttle position B", "%"},
    {0x48, 1, 1, 0, PCT, 0, "Absolute throttle position C", "%"},
    {0x49, 1, 1, 0, PCT, 0, "Accelerator pedal position D", "%"},
    {0x4A, 1, 1, 0, PCT, 0, "Accelerator pedal position E", "%"},
    {0x4B, 1, 1, 0, PCT, 0, "Accelerator pedal position F", "%"},
    {0x4C, 1, 1, 0, PCT, 0, "Commanded throttle actuator", "%"},
    {0x4D, 2, 2, 0, 1, 0, "Time run with MIL on", "min"},
    {0x4E, 2, 2, 0, 1, 0, "Time since trouble codes cleared", "min"},
    {0x4F, 4, 0, 0, 0, 0, "Maximum values for ratio, voltage, current, pressure", ""},
    {0x50, 4, 0, 0, 0, 0, "Maximum value for air flow rate", ""},
    {0x51, 1, 0, 0, 0, 0, "Fuel type", ""},
    {0x52, 1, 1, 0, PCT, 0, "Ethanol fuel", "%"},
    {0x53, 2, 2, 0, 0.005, 0, "Absolute evap system vapor pressure", "kPa"},
    {0x54, 2, 2, 1, 1, 0, "Evap system vapor pressure", "Pa"},
    {0x55, 2, 1, 0, TRIM, -100, "Short term secondary oxygen sensor trim, bank 1 and 3", "%"},
    {0x56, 2, 1, 0, TRIM, -100, "Long term secondary oxygen sensor trim, bank 1 and 3", "%"},
    {0x57, 2, 1, 0, TRIM, -100, "Short term secondary oxygen sensor trim, bank 2 and 4", "%"},
    {0x58, 2, 1, 0, TRIM, -100, "Long term secondary oxygen sensor trim, bank 2 and 4", "%"},
    {0x59, 2, 2, 0, 10, 0, "Fuel rail absolute pressure", "kPa"},
    {0x5A, 1, 1, 0, PCT, 0, "Relative accelerator pedal position", "%"},
    {0x5B, 1, 1, 0, PCT, 0, "Hybrid battery pack remaining life", "%"},
    {0x5C, 1, 1, 0, 1, -40, "Engine oil temperature", "\u00b0C"},
    {0x5D, 2, 2, 0, 1.0 / 128, -210, "Fuel injection timing", "\u00b0"},
    {0x5E, 2, 2, 0, 0.05, 0, "Engine fuel rate", "L/h"},
    {0x5F, 1, 0, 0, 0, 0, "Emission requirements to which vehicle is designed", ""},
    {0x60, 4, 0, 0, 0, 0, "PIDs supported [61-80]", ""},
    {0x61, 1, 1, 0, 1, -125, "Driver's demand engine - percent torque", "%"},
    {0x62, 1, 1, 0, 1, -125, "Actual engine - percent torque", "%"},
    {0x63, 2, 2, 0, 1, 0, "Engine reference torque", "N\u00b7m"},
    {0x64, 5, 0, 0, 0, 0, "Engine percent torque data", ""},
    {0x80, 4, 0, 0, 0, 0, "PIDs supported [81-A0]", ""},
    {0xA0, 4, 0, 0, 0, 0, "PIDs supported [A1-C0]", ""},
    {0xA6, 4, 4, 0, 0.1, 0, "Odometer", "km"},
    {0xC0, 4, 0, 0, 0, 0, "PIDs supported [C1-E0]", ""},
};

}  // namespace

const obd_pid_info *obd_pid(uint8_t pid)
{
    for (const obd_pid_info &p : PIDS)
        if (p.pid == pid)
            return &p;
    return nullptr;
}

int obd_pid_value(uint8_t pid, const uint8_t *data, uint32_t len, double *value)
{
    const obd_pid_info *p = obd_pid(pid);
    if (!p || p->scale == 0 || len < p->raw_bytes)
        return -1;
    uint32_t raw = 0;
    for (unsigned i = 0; i < p->raw_bytes; i++)
        raw = raw << 8 | data[i];
    double v = raw;
    if (p->is_signed && p->raw_bytes == 2)
        v = (int16_t)raw;
    *value = v * p->scale + p->offset;
    return 0;
}

void dg_dtc_text(uint16_t code, char out[6])
{
    static const char kinds[] = "PCBU";
    snprintf(out, 6, "%c%04X", kinds[code >> 14], code & 0x3FFF);
}

/* ------------------------------------------------------------ descriptions */

namespace {

bool printable(const uint8_t *d, uint32_t len)
{
    if (len == 0)
        return false;
    for (uint32_t i = 0; i < len; i++)
        if ((d[i] < 0x20 || d[i] > 0x7E) && !(d[i] == 0 && i > 0))
            return false;
    return true;
}

/* Text data, up to a NUL, as a quoted field. */
void text_value(writer &w, const uint8_t *d, uint32_t len)
{
    uint32_t n = 0;
    while (n < len && d[n])
        n++;
    w.add("\"%.*s\"", (int)n, (const char *)d);
}

void value_text(writer &w, double v, double scale)
{
    int decimals = scale >= 1 ? 0 : scale >= 0.1 ? 1 : scale >= 0.01 ? 2 : 3;
    if (scale == 2.0 / 65536)
        decimals = 3;
    char buf[64];
    /* A point whatever the locale, as every other number of the program
     * (and the trailing zeros below are found by it). */
    static const locale_t c_numeric = newlocale(LC_NUMERIC_MASK, "C", (locale_t)0);
    const locale_t was = c_numeric ? uselocale(c_numeric) : (locale_t)0;
    snprintf(buf, sizeof buf, "%.*f", decimals, v);
    if (c_numeric)
        uselocale(was);
    if (strchr(buf, '.')) {
        char *e = buf + strlen(buf) - 1;
        while (*e == '0')
            *e-- = 0;
        if (*e == '.')
            *e = 0;
    }
    if (strcmp(buf, "-0") == 0)
        strcpy(buf, "0");
    w.add("%s", buf);
}

void supported_pids(writer &w, uint8_t base, const uint8_t *d)
{
    const uint32_t mask = (uint32_t)d[0] << 24 | (uint32_t)d[1] << 16 | (uint32_t)d[2] << 8 | d[3];
    for (int i = 0; i < 32; i++)
        if (mask & (0x80000000u >> i))
            w.add(" %02X", base + i + 1);
}

/* One mode 01/02 parameter with its data; returns the bytes it took, 0
 * when the PID is unknown or its data is short. */
uint32_t obd_param(writer &w, uint8_t pid, const uint8_t *d, uint32_t len, const dg_texts *tx)
{
    const obd_pid_info *p = obd_pid(pid);
    if (!p || len < p->bytes)
        return 0;
    w.field("%02X %s", pid, p->name);
    double v;
    if (obd_pid_value(pid, d, len, &v) == 0) {
        w.add(" = ");
        value_text(w, v, p->scale);
        if (*p->unit)
            w.add(" %s", p->unit);
        return p->bytes;
    }
    if ((pid & 0x1F) == 0 && p->bytes == 4) {
        w.add(":");
        supported_pids(w, pid, d);
    } else if (pid == 0x01) {
        w.add(": MIL %s, %u DTC", tx->lamp[(d[0] >> 7) & 1], d[0] & 0x7F);
    } else if (pid == 0x02) {
        char code[6];
        dg_dtc_text((uint16_t)(d[0] << 8 | d[1]), code);
        w.add(": %s", code);
    } else {
        w.add(" = ");
        w.hex(d, p->bytes);
    }
    return p->bytes;
}

void obd_dtcs(writer &w, const uint8_t *d, uint32_t len, const dg_texts *tx)
{
    /* On CAN the count comes first (ISO 15765-4). */
    if (len < 1)
        return;
    const uint32_t count = d[0];
    d++;
    len--;
    w.field(DG_T(tx, "%u DTC"), count);
    if (count == 0 && len < 2)
        return;
    uint32_t shown = 0;
    for (uint32_t i = 0; i + 1 < len; i += 2) {
        const uint16_t code = (uint16_t)(d[i] << 8 | d[i + 1]);
        if (!code)
            continue;
        char text[6];
        dg_dtc_text(code, text);
        w.add(shown++ ? " %s" : ": %s", text);
    }
    if (!shown && count)
        w.add(": %s", tx->none);
}

void obd_describe(writer &w, const uint8_t *d, uint32_t len, const dg_texts *tx)
{
    const bool resp = uds_kind_of(d[0]) == UDS_POSITIVE;
    const uint8_t mode = resp ? (uint8_t)(d[0] - 0x40) : d[0];
    const char *name = obd_mode_name(mode);
    w.field("OBD %02X %s", mode, name ? name : "");
    const uint8_t *p = d + 1;
    uint32_t n = len - 1;
    switch (mode) {
    case 0x01:
    case 0x02:
        if (!resp) {
            /* Up to six PIDs (mode 02: PID and frame number). */
            for (uint32_t i = 0; i < n; i += mode == 2 ? 2 : 1) {
                const obd_pid_info *info = obd_pid(p[i]);
                w.field("%02X %s", p[i], info ? info->name : "");
            }
            return;
        }
        while (n > 0) {
            const uint8_t pid = p[0];
            uint32_t skip = 1 + (mode == 2 ? 1 : 0);
            if (n < skip) {
                w.hex_field("", p, n);
                return;
            }
            const uint32_t used = obd_param(w, pid, p + skip, n - skip, tx);
            if (!used) {
                w.hex_field("", p, n);
                return;
            }
            p += skip + used;
            n -= skip + used;
        }
        return;
    case 0x03:
    case 0x07:
    case 0x0A:
        if (resp)
            obd_dtcs(w, p, n, tx);
        return;
    case 0x09:
        if (n < 1)
            return;
        if (!resp) {
            w.field("InfoType %02X", p[0]);
            return;
        }
        if ((p[0] & 0x1F) == 0 && n >= 5) {
            w.field("InfoType %02X:", p[0]);
            supported_pids(w, p[0], p + 1);
            return;
        }
        if ((p[0] == 0x02 || p[0] == 0x04 || p[0] == 0x0A) && n >= 2 && printable(p + 2, n - 2)) {
            const char *name = p[0] == 0x02 ? "VIN" : p[0] == 0x04 ? "CALID" : "ECUNAME";
            w.field("%s = ", name);
            text_value(w, p + 2, n - 2);
            return;
        }
        w.field("InfoType %02X", p[0]);
        if (n > 1) {
            w.add(" = ");
            w.hex(p + 1, n - 1);
        }
        return;
    default:
        if (n)
            w.hex_field("", p, n);
        return;
    }
}

/* A data identifier and, for a response, its record: text where the
 * record is printable, else hex. */
void did_field(writer &w, const uint8_t *d, uint32_t len, const dg_texts *tx)
{
    const uint16_t did = (uint16_t)(d[0] << 8 | d[1]);
    const char *name = uds_did_name(did);
    if (did >= 0xF400 && did <= 0xF4FF && len > 2) {
        /* OBD-II PIDs read as data identifiers. */
        if (obd_param(w, (uint8_t)did, d + 2, len - 2, tx))
            return;
    }
    w.field("%04X%s%s", did, name ? " " : "", name ? name : "");
    if (len <= 2)
        return;
    if (did == 0xF186 && len == 3) {
        const char *s = uds_subfunction_name(0x10, d[2]);
        w.add(" = %02X%s%s", d[2], s ? " " : "", s ? s : "");
    } else if (printable(d + 2, len - 2)) {
        w.add(" = ");
        text_value(w, d + 2, len - 2);
    } else {
        w.add(" = ");
        w.hex(d + 2, len - 2);
    }
}

void udtc_list(writer &w, const uint8_t *d, uint32_t len, const dg_texts *tx)
{
    uint32_t count = len / 4;
    w.field(DG_T(tx, "%u DTC"), count);
    for (uint32_t i = 0; i < count; i++) {
        const uint8_t *r = d + 4 * i;
        char code[6];
        dg_dtc_text((uint16_t)(r[0] << 8 | r[1]), code);
        if (w.detail)
            w.field(DG_T(tx, "%s-%02X status %02X"), code, r[2], r[3]);
        else if (i < 8)
            w.add("%s%s-%02X", i ? " " : ": ", code, r[2]);
        else if (i == 8)
            w.add(" ...");
    }
}

void uds_params(writer &w, uint8_t sid, bool resp, const uint8_t *p, uint32_t n, const dg_texts *tx)
{
    switch (sid) {
    case 0x10:
        if (resp && n >= 5)
            w.field("P2 %u ms, P2* %u ms", p[1] << 8 | p[2], (p[3] << 8 | p[4]) * 10u);
        return;
    case 0x22:
        if (resp) {
            if (n >= 2)
                did_field(w, p, n, tx);
        } else {
            for (uint32_t i = 0; i + 1 < n; i += 2)
                did_field(w, p + i, 2, tx);
        }
        return;
    case 0x2E:
        if (n >= 2)
            did_field(w, p, resp ? 2 : n, tx);
        return;
    case 0x2F:
        if (n >= 2) {
            did_field(w, p, 2, tx);
            if (n > 2)
                w.hex_field("", p + 2, n - 2);
        }
        return;
    case 0x27:
        if (n >= 1) {
            w.add(DG_T(tx, " level %u"), (p[0] & 0x7F) / 2 + (p[0] & 1));
            if (n > 1)
                w.hex_field((p[0] & 1) ? DG_T(tx, "seed") : DG_T(tx, "key"), p + 1, n - 1);
        }
        return;
    case 0x19:
        if (!resp) {
            if (n >= 2 && (p[0] == 0x01 || p[0] == 0x02))
                w.field(DG_T(tx, "mask %02X"), p[1]);
            return;
        }
        if (n >= 1 && p[0] == 0x01 && n >= 5)
            w.field(DG_T(tx, "mask %02X, %u DTC"), p[1], p[3] << 8 | p[4]);
        else if (n >= 2 && (p[0] == 0x02 || p[0] == 0x0A || p[0] == 0x15 || (p[0] >= 0x0B && p[0] <= 0x0E)))
            udtc_list(w, p + 2, n - 2, tx);
        else if (n > 1)
            w.hex_field("", p + 1, n - 1);
        return;
    case 0x14:
        if (!resp && n >= 3)
            w.field(DG_T(tx, "group %02X%02X%02X"), p[0], p[1], p[2]);
        return;
    case 0x31:
        if (n >= 3) {
            w.field(DG_T(tx, "routine %04X"), p[1] << 8 | p[2]);
            if (n > 3)
                w.hex_field("", p + 3, n - 3);
        }
        return;
    case 0x36:
        if (n >= 1) {
            w.field(DG_T(tx, "block %u"), p[0]);
            if (n > 1)
                w.add(DG_T(tx, ", %u bytes"), n - 1);
        }
        return;
    case 0x34:
    case 0x35:
        if (resp && n >= 1) {
            const unsigned k = p[0] >> 4;
            if (k >= 1 && k <= 4 && n >= 1 + k) {
                uint32_t v = 0;
                for (unsigned i = 0; i < k; i++)
                    v = v << 8 | p[1 + i];
                w.field("maxNumberOfBlockLength %u", v);
                return;
            }
        }
        if (n)
            w.hex_field("", p, n);
        return;
    case 0x3E:
    case 0x11:
    case 0x28:
    case 0x85:
        if (n > 1)
            w.hex_field("", p + 1, n - 1);
        return;
    default:
        if (has_subfunction(sid)) {
            if (n > 1)
                w.hex_field("", p + 1, n - 1);
        } else if (n) {
            w.hex_field("", p, n);
        }
        return;
    }
}

}  // namespace

size_t dg_hex(const uint8_t *data, uint32_t len, char *out, size_t size)
{
    writer w{out, size, 0, 1, 0};
    if (size)
        out[0] = 0;
    for (uint32_t i = 0; i < len; i++) {
        if (w.n + 8 >= size && i + 1 < len) {
            w.add("%s...", i ? " " : "");
            break;
        }
        w.add(i ? " %02X" : "%02X", data[i]);
    }
    return w.n;
}

size_t uds_describe(const uint8_t *d, uint32_t len, int detail, const dg_texts *tx, char *out,
                    size_t size)
{
    writer w{out, size, 0, detail, 0};
    if (size)
        out[0] = 0;
    if (!tx)
        tx = &dg_texts_en;
    if (len == 0)
        return 0;
    const int kind = uds_kind_of(d[0]);
    const int sid = uds_request_sid(d, len);
    if (kind == UDS_NEGATIVE) {
        if (sid < 0) {
            w.field("7F");
            return w.n;
        }
        const char *name = uds_is_obd(sid) ? obd_mode_name((uint8_t)sid) : uds_service_name((uint8_t)sid);
        if (uds_is_obd(sid))
            w.field("OBD %02X %s", sid, name);
        else if (name)
            w.field("%s", name);
        else
            w.field("SID %02X", sid);
        if (len >= 3) {
            const char *nrc = uds_nrc_name(d[2]);
            w.field("NRC %02X%s%s", d[2], nrc ? " " : "", nrc ? nrc : "");
        }
        return w.n;
    }
    if (uds_is_obd(sid)) {
        obd_describe(w, d, len, tx);
        return w.n;
    }
    const char *name = uds_service_name((uint8_t)sid);
    if (name)
        w.field("%s", name);
    else
        w.field("SID %02X", d[0]);
    const bool resp = kind == UDS_POSITIVE;
    const uint8_t *p = d + 1;
    const uint32_t n = len - 1;
    if (has_subfunction((uint8_t)sid) && n >= 1) {
        const char *sub = uds_subfunction_name((uint8_t)sid, p[0]);
        if (sub)
            w.add(" %s", sub);
        else
            w.add(" %02X", p[0] & 0x7F);
        if (!resp && (p[0] & 0x80) && has_suppress_bit((uint8_t)sid))
            w.add(" (suppressPosRsp)");
    }
    uds_params(w, (uint8_t)sid, resp, p, n, tx);
    return w.n;
}
