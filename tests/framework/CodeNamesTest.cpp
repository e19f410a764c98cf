#include "hal/CodeNames.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

// The code of a four-character literal, first character most significant: "glob" is 0x676C6F62.
constexpr UInt32 FourCharCode(const char (&text)[5]) {
    return (UInt32(UInt8(text[0])) << 24) | (UInt32(UInt8(text[1])) << 16) | (UInt32(UInt8(text[2])) << 8) |
           UInt32(UInt8(text[3]));
}

// Text that may hold NUL bytes: the whole literal but its terminator.
template <std::size_t Size>
std::string WithBytes(const char (&text)[Size]) {
    return std::string(text, Size - 1);
}

struct NamedCode {
    UInt32 Code;
    const char* Name;
};

// The names the trace lines must show, written out from the platform's documented codes rather
// than from its headers, so a wrong constant or a misspelt name shows as a mismatch.
const std::vector<NamedCode> kClassIDs = {
    {FourCharCode("togl"), "kAudioBooleanControlClassID"},
    {FourCharCode("abox"), "kAudioBoxClassID"},
    {FourCharCode("clip"), "kAudioClipLightControlClassID"},
    {FourCharCode("aclk"), "kAudioClockDeviceClassID"},
    {FourCharCode("clck"), "kAudioClockSourceControlClassID"},
    {FourCharCode("actl"), "kAudioControlClassID"},
    {FourCharCode("dest"), "kAudioDataDestinationControlClassID"},
    {FourCharCode("dsrc"), "kAudioDataSourceControlClassID"},
    {FourCharCode("adev"), "kAudioDeviceClassID"},
    {FourCharCode("endp"), "kAudioEndPointClassID"},
    {FourCharCode("edev"), "kAudioEndPointDeviceClassID"},
    {FourCharCode("hipf"), "kAudioHighPassFilterControlClassID"},
    {FourCharCode("jack"), "kAudioJackControlClassID"},
    {FourCharCode("subm"), "kAudioLFEMuteControlClassID"},
    {FourCharCode("subv"), "kAudioLFEVolumeControlClassID"},
    {FourCharCode("levl"), "kAudioLevelControlClassID"},
    {FourCharCode("nlvl"), "kAudioLineLevelControlClassID"},
    {FourCharCode("lsnb"), "kAudioListenbackControlClassID"},
    {FourCharCode("mute"), "kAudioMuteControlClassID"},
    {FourCharCode("aobj"), "kAudioObjectClassID"},
    {FourCharCode("phan"), "kAudioPhantomPowerControlClassID"},
    {FourCharCode("phsi"), "kAudioPhaseInvertControlClassID"},
    {FourCharCode("aplg"), "kAudioPlugInClassID"},
    {FourCharCode("slct"), "kAudioSelectorControlClassID"},
    {FourCharCode("sldr"), "kAudioSliderControlClassID"},
    {FourCharCode("solo"), "kAudioSoloControlClassID"},
    {FourCharCode("span"), "kAudioStereoPanControlClassID"},
    {FourCharCode("astr"), "kAudioStreamClassID"},
    {FourCharCode("talb"), "kAudioTalkbackControlClassID"},
    {FourCharCode("trpm"), "kAudioTransportManagerClassID"},
    {FourCharCode("vlme"), "kAudioVolumeControlClassID"},
};

const std::vector<NamedCode> kPropertySelectors = {
    {FourCharCode("bcvl"), "kAudioBooleanControlPropertyValue"},
    {FourCharCode("bxon"), "kAudioBoxPropertyAcquired"},
    {FourCharCode("bxof"), "kAudioBoxPropertyAcquisitionFailed"},
    {FourCharCode("buid"), "kAudioBoxPropertyBoxUID"},
    {FourCharCode("bcl#"), "kAudioBoxPropertyClockDeviceList"},
    {FourCharCode("bdv#"), "kAudioBoxPropertyDeviceList"},
    {FourCharCode("bhau"), "kAudioBoxPropertyHasAudio"},
    {FourCharCode("bhmi"), "kAudioBoxPropertyHasMIDI"},
    {FourCharCode("bhvi"), "kAudioBoxPropertyHasVideo"},
    {FourCharCode("bpro"), "kAudioBoxPropertyIsProtected"},
    {FourCharCode("cuid"), "kAudioClockDevicePropertyDeviceUID"},
    {FourCharCode("celm"), "kAudioControlPropertyElement"},
    {FourCharCode("cscp"), "kAudioControlPropertyScope"},
    {FourCharCode("nsr#"), "kAudioDevicePropertyAvailableNominalSampleRates"},
    {FourCharCode("clok"), "kAudioDevicePropertyClockAlgorithm"},
    {FourCharCode("clkd"), "kAudioDevicePropertyClockDomain"},
    {FourCharCode("cstb"), "kAudioDevicePropertyClockIsStable"},
    {FourCharCode("capp"), "kAudioDevicePropertyConfigurationApplication"},
    {FourCharCode("dflt"), "kAudioDevicePropertyDeviceCanBeDefaultDevice"},
    {FourCharCode("sflt"), "kAudioDevicePropertyDeviceCanBeDefaultSystemDevice"},
    {FourCharCode("livn"), "kAudioDevicePropertyDeviceIsAlive"},
    {FourCharCode("goin"), "kAudioDevicePropertyDeviceIsRunning"},
    {FourCharCode("icon"), "kAudioDevicePropertyIcon"},
    {FourCharCode("hidn"), "kAudioDevicePropertyIsHidden"},
    {FourCharCode("ltnc"), "kAudioDevicePropertyLatency"},
    {FourCharCode("muid"), "kAudioDevicePropertyModelUID"},
    {FourCharCode("nsrt"), "kAudioDevicePropertyNominalSampleRate"},
    {FourCharCode("srnd"), "kAudioDevicePropertyPreferredChannelLayout"},
    {FourCharCode("dch2"), "kAudioDevicePropertyPreferredChannelsForStereo"},
    {FourCharCode("akin"), "kAudioDevicePropertyRelatedDevices"},
    {FourCharCode("saft"), "kAudioDevicePropertySafetyOffset"},
    {FourCharCode("stm#"), "kAudioDevicePropertyStreams"},
    {FourCharCode("tran"), "kAudioDevicePropertyTransportType"},
    {FourCharCode("ring"), "kAudioDevicePropertyZeroTimeStampPeriod"},
    {FourCharCode("acom"), "kAudioEndPointDevicePropertyComposition"},
    {FourCharCode("agrp"), "kAudioEndPointDevicePropertyEndPointList"},
    {FourCharCode("priv"), "kAudioEndPointDevicePropertyIsPrivate"},
    {FourCharCode("lcds"), "kAudioLevelControlPropertyConvertDecibelsToScalar"},
    {FourCharCode("lcsd"), "kAudioLevelControlPropertyConvertScalarToDecibels"},
    {FourCharCode("lcdr"), "kAudioLevelControlPropertyDecibelRange"},
    {FourCharCode("lcdv"), "kAudioLevelControlPropertyDecibelValue"},
    {FourCharCode("lcsv"), "kAudioLevelControlPropertyScalarValue"},
    {FourCharCode("bcls"), "kAudioObjectPropertyBaseClass"},
    {FourCharCode("clas"), "kAudioObjectPropertyClass"},
    {FourCharCode("ctrl"), "kAudioObjectPropertyControlList"},
    {FourCharCode("cust"), "kAudioObjectPropertyCustomPropertyInfoList"},
    {FourCharCode("fwvn"), "kAudioObjectPropertyFirmwareVersion"},
    {FourCharCode("iden"), "kAudioObjectPropertyIdentify"},
    {FourCharCode("lmak"), "kAudioObjectPropertyManufacturer"},
    {FourCharCode("lmod"), "kAudioObjectPropertyModelName"},
    {FourCharCode("lnam"), "kAudioObjectPropertyName"},
    {FourCharCode("ownd"), "kAudioObjectPropertyOwnedObjects"},
    {FourCharCode("stdv"), "kAudioObjectPropertyOwner"},
    {FourCharCode("****"), "kAudioObjectPropertySelectorWildcard"},
    {FourCharCode("snum"), "kAudioObjectPropertySerialNumber"},
    {FourCharCode("box#"), "kAudioPlugInPropertyBoxList"},
    {FourCharCode("piid"), "kAudioPlugInPropertyBundleID"},
    {FourCharCode("clk#"), "kAudioPlugInPropertyClockDeviceList"},
    {FourCharCode("dev#"), "kAudioPlugInPropertyDeviceList"},
    {FourCharCode("rsrc"), "kAudioPlugInPropertyResourceBundle"},
    {FourCharCode("uidb"), "kAudioPlugInPropertyTranslateUIDToBox"},
    {FourCharCode("uidc"), "kAudioPlugInPropertyTranslateUIDToClockDevice"},
    {FourCharCode("uidd"), "kAudioPlugInPropertyTranslateUIDToDevice"},
    {FourCharCode("scai"), "kAudioSelectorControlPropertyAvailableItems"},
    {FourCharCode("scci"), "kAudioSelectorControlPropertyCurrentItem"},
    {FourCharCode("clkk"), "kAudioSelectorControlPropertyItemKind"},
    {FourCharCode("scin"), "kAudioSelectorControlPropertyItemName"},
    {FourCharCode("sdrr"), "kAudioSliderControlPropertyRange"},
    {FourCharCode("sdrv"), "kAudioSliderControlPropertyValue"},
    {FourCharCode("spcc"), "kAudioStereoPanControlPropertyPanningChannels"},
    {FourCharCode("spcv"), "kAudioStereoPanControlPropertyValue"},
    {FourCharCode("pfta"), "kAudioStreamPropertyAvailablePhysicalFormats"},
    {FourCharCode("sfma"), "kAudioStreamPropertyAvailableVirtualFormats"},
    {FourCharCode("sdir"), "kAudioStreamPropertyDirection"},
    {FourCharCode("sact"), "kAudioStreamPropertyIsActive"},
    {FourCharCode("schn"), "kAudioStreamPropertyStartingChannel"},
    {FourCharCode("term"), "kAudioStreamPropertyTerminalType"},
    {FourCharCode("sfmt"), "kAudioStreamPropertyVirtualFormat"},
    {FourCharCode("end#"), "kAudioTransportManagerPropertyEndPointList"},
    {FourCharCode("uide"), "kAudioTransportManagerPropertyTranslateUIDToEndPoint"},
};

const std::vector<NamedCode> kPropertyScopes = {
    {FourCharCode("glob"), "kAudioObjectPropertyScopeGlobal"},
    {FourCharCode("inpt"), "kAudioObjectPropertyScopeInput"},
    {FourCharCode("outp"), "kAudioObjectPropertyScopeOutput"},
    {FourCharCode("ptru"), "kAudioObjectPropertyScopePlayThrough"},
    {FourCharCode("****"), "kAudioObjectPropertyScopeWildcard"},
};

const std::vector<NamedCode> kOperationIDs = {
    {FourCharCode("thrd"), "kAudioServerPlugInIOOperationThread"},
    {FourCharCode("cycl"), "kAudioServerPlugInIOOperationCycle"},
    {FourCharCode("read"), "kAudioServerPlugInIOOperationReadInput"},
    {FourCharCode("cinp"), "kAudioServerPlugInIOOperationConvertInput"},
    {FourCharCode("pinp"), "kAudioServerPlugInIOOperationProcessInput"},
    {FourCharCode("pout"), "kAudioServerPlugInIOOperationProcessOutput"},
    {FourCharCode("mixo"), "kAudioServerPlugInIOOperationMixOutput"},
    {FourCharCode("pmix"), "kAudioServerPlugInIOOperationProcessMix"},
    {FourCharCode("cmix"), "kAudioServerPlugInIOOperationConvertMix"},
    {FourCharCode("rite"), "kAudioServerPlugInIOOperationWriteMix"},
};

const std::vector<NamedCode> kStatuses = {
    {0, "OK"},
    {FourCharCode("!hog"), "kAudioDevicePermissionsError"},
    {FourCharCode("!dat"), "kAudioDeviceUnsupportedFormatError"},
    {FourCharCode("!dev"), "kAudioHardwareBadDeviceError"},
    {FourCharCode("!obj"), "kAudioHardwareBadObjectError"},
    {FourCharCode("!siz"), "kAudioHardwareBadPropertySizeError"},
    {FourCharCode("!str"), "kAudioHardwareBadStreamError"},
    {FourCharCode("nope"), "kAudioHardwareIllegalOperationError"},
    {FourCharCode("nrdy"), "kAudioHardwareNotReadyError"},
    {FourCharCode("stop"), "kAudioHardwareNotRunningError"},
    {FourCharCode("who?"), "kAudioHardwareUnknownPropertyError"},
    {FourCharCode("what"), "kAudioHardwareUnspecifiedError"},
    {FourCharCode("unop"), "kAudioHardwareUnsupportedOperationError"},
    {FourCharCode("!pth"), "kAudio_BadFilePathError"},
};

const std::vector<NamedCode> kFormatIDs = {
    {FourCharCode("cac3"), "kAudioFormat60958AC3"},
    {FourCharCode("ac-3"), "kAudioFormatAC3"},
    {FourCharCode("aes3"), "kAudioFormatAES3"},
    {FourCharCode("alaw"), "kAudioFormatALaw"},
    {FourCharCode("samr"), "kAudioFormatAMR"},
    {FourCharCode("sawb"), "kAudioFormatAMR_WB"},
    {FourCharCode("apac"), "kAudioFormatAPAC"},
    {FourCharCode("ima4"), "kAudioFormatAppleIMA4"},
    {FourCharCode("alac"), "kAudioFormatAppleLossless"},
    {FourCharCode("AUDB"), "kAudioFormatAudible"},
    {0x6D730011, "kAudioFormatDVIIntelIMA"},
    {FourCharCode("ec-3"), "kAudioFormatEnhancedAC3"},
    {FourCharCode("flac"), "kAudioFormatFLAC"},
    {FourCharCode("lpcm"), "kAudioFormatLinearPCM"},
    {FourCharCode("MAC3"), "kAudioFormatMACE3"},
    {FourCharCode("MAC6"), "kAudioFormatMACE6"},
    {FourCharCode("midi"), "kAudioFormatMIDIStream"},
    {FourCharCode("aac "), "kAudioFormatMPEG4AAC"},
    {FourCharCode("aace"), "kAudioFormatMPEG4AAC_ELD"},
    {FourCharCode("aacf"), "kAudioFormatMPEG4AAC_ELD_SBR"},
    {FourCharCode("aacg"), "kAudioFormatMPEG4AAC_ELD_V2"},
    {FourCharCode("aach"), "kAudioFormatMPEG4AAC_HE"},
    {FourCharCode("aacp"), "kAudioFormatMPEG4AAC_HE_V2"},
    {FourCharCode("aacl"), "kAudioFormatMPEG4AAC_LD"},
    {FourCharCode("aacs"), "kAudioFormatMPEG4AAC_Spatial"},
    {FourCharCode("celp"), "kAudioFormatMPEG4CELP"},
    {FourCharCode("hvxc"), "kAudioFormatMPEG4HVXC"},
    {FourCharCode("twvq"), "kAudioFormatMPEG4TwinVQ"},
    {FourCharCode("usac"), "kAudioFormatMPEGD_USAC"},
    {FourCharCode(".mp1"), "kAudioFormatMPEGLayer1"},
    {FourCharCode(".mp2"), "kAudioFormatMPEGLayer2"},
    {FourCharCode(".mp3"), "kAudioFormatMPEGLayer3"},
    {0x6D730031, "kAudioFormatMicrosoftGSM"},
    {FourCharCode("opus"), "kAudioFormatOpus"},
    {FourCharCode("apvs"), "kAudioFormatParameterValueStream"},
    {FourCharCode("QDMC"), "kAudioFormatQDesign"},
    {FourCharCode("QDM2"), "kAudioFormatQDesign2"},
    {FourCharCode("Qclp"), "kAudioFormatQUALCOMM"},
    {FourCharCode("time"), "kAudioFormatTimeCode"},
    {FourCharCode("ulaw"), "kAudioFormatULaw"},
    {FourCharCode("ilbc"), "kAudioFormatiLBC"},
};

struct NameTable {
    const char* Function;
    std::string (*ToText)(UInt32);
    const std::vector<NamedCode>* Names;
    std::size_t Count;
};

std::string StatusCodeToString(UInt32 code) { return hal::StatusToString(static_cast<OSStatus>(code)); }

const NameTable kTables[] = {
    {"ClassIDToString", hal::ClassIDToString, &kClassIDs, 31},
    {"PropertySelectorToString", hal::PropertySelectorToString, &kPropertySelectors, 80},
    {"PropertyScopeToString", hal::PropertyScopeToString, &kPropertyScopes, 5},
    {"OperationIDToString", hal::OperationIDToString, &kOperationIDs, 10},
    {"StatusToString", StatusCodeToString, &kStatuses, 14},
    {"FormatIDToString", hal::FormatIDToString, &kFormatIDs, 41},
};

TEST(CodeNamesTest, EveryKnownCodePrintsUnderItsConstantName) {
    for (const NameTable& table : kTables) {
        EXPECT_EQ(table.Names->size(), table.Count) << table.Function;
        for (const NamedCode& named : *table.Names) {
            EXPECT_EQ(table.ToText(named.Code), named.Name) << table.Function << " " << hal::CodeToString(named.Code);
        }
    }
}

// A code that belongs to another table, or to none, falls back to the code form: each function
// knows its own table and nothing else.
TEST(CodeNamesTest, CodesOutsideATableFallBackToTheCodeForm) {
    for (const NameTable& table : kTables) {
        std::set<UInt32> known;
        for (const NamedCode& named : *table.Names) known.insert(named.Code);
        for (const NameTable& other : kTables) {
            for (const NamedCode& named : *other.Names) {
                if (known.count(named.Code) != 0) continue;
                EXPECT_EQ(table.ToText(named.Code), hal::CodeToString(named.Code))
                    << table.Function << " " << named.Name;
            }
        }
    }
}

TEST(CodeNamesTest, CodeFormCopiesTheFourBytesAndAddsTheHexadecimalCode) {
    const struct {
        UInt32 Code;
        std::string Expected;
    } cases[] = {
        {0x676C6F62, "'glob' (0x676c6f62)"},
        {0x70667420, "'pft ' (0x70667420)"},
        {0, WithBytes("'\0\0\0\0' (0x0)")},
        {0x0102037F, "'\x01\x02\x03\x7F' (0x102037f)"},
        {0xFFFFFFCE, "'\xFF\xFF\xFF\xCE' (0xffffffce)"},
        {0x6D730011, WithBytes("'ms\0\x11' (0x6d730011)")},
    };
    for (const auto& testCase : cases) {
        EXPECT_EQ(hal::CodeToString(testCase.Code), testCase.Expected) << std::hex << testCase.Code;
    }
}

TEST(CodeNamesTest, SharedAndUnnamedStreamCodes) {
    // The stream's latency shares the device's code and name; its physical format has no name.
    EXPECT_EQ(hal::PropertySelectorToString(kAudioStreamPropertyLatency), "kAudioDevicePropertyLatency");
    EXPECT_EQ(hal::PropertySelectorToString(kAudioStreamPropertyPhysicalFormat), "'pft ' (0x70667420)");
    // The wildcard code names a selector in one table and a scope in the other.
    EXPECT_EQ(hal::PropertySelectorToString(FourCharCode("****")), "kAudioObjectPropertySelectorWildcard");
    EXPECT_EQ(hal::PropertyScopeToString(FourCharCode("****")), "kAudioObjectPropertyScopeWildcard");
}

TEST(CodeNamesTest, NegativeStatusPrintsItsThirtyTwoBits) {
    EXPECT_EQ(hal::StatusToString(-50), "'\xFF\xFF\xFF\xCE' (0xffffffce)");
    EXPECT_EQ(hal::StatusToString(static_cast<OSStatus>(0x80000004)), WithBytes("'\x80\0\0\x04' (0x80000004)"));
    EXPECT_EQ(hal::StatusToString(1), WithBytes("'\0\0\0\x01' (0x1)"));
}

TEST(CodeNamesTest, FormatFlagsAreNamedInTheirFixedOrder) {
    const struct {
        UInt32 Flags;
        const char* Expected;
    } cases[] = {
        {0, ""},
        {0x80, ""},
        {9, "kAudioFormatFlagIsFloat|kAudioFormatFlagIsPacked"},
        {0x7F,
         "kAudioFormatFlagIsAlignedHigh|kAudioFormatFlagIsBigEndian|kAudioFormatFlagIsFloat|"
         "kAudioFormatFlagIsNonInterleaved|kAudioFormatFlagIsNonMixable|kAudioFormatFlagIsPacked|"
         "kAudioFormatFlagIsSignedInteger"},
        {0xFFFFFF84, "kAudioFormatFlagIsSignedInteger"},
        {0x30, "kAudioFormatFlagIsAlignedHigh|kAudioFormatFlagIsNonInterleaved"},
    };
    for (const auto& testCase : cases) {
        EXPECT_EQ(hal::FormatFlagsToString(testCase.Flags), testCase.Expected) << std::hex << testCase.Flags;
    }
}

}  // namespace
