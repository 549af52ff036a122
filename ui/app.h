// The application object: owns the program-wide state of the desktop program
// and runs the main dialog for the whole life of the process.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "engine/params.h"
#include "registry/lens_registry.h"

namespace vistereo {

// Both dialogs keep their eight point fields row by row: A left x, A left y,
// A right x, A right y, then the same for B. This maps a point-list index
// (A-left x, B-left x, A-right x, B-right x, then the four y values, the order
// of m_exchangePoints) to that row position, and back: it is its own inverse.
inline constexpr std::array<int, 8> kRowOrderOfListIndex = {0, 4, 2, 6, 1, 5, 3, 7};

class CMyVistereoApp {
public:
    CMyVistereoApp();
    ~CMyVistereoApp();
    CMyVistereoApp(const CMyVistereoApp&) = delete;
    CMyVistereoApp& operator=(const CMyVistereoApp&) = delete;

    // The one application object (set by the constructor).
    static CMyVistereoApp* instance();

    // Runs the main dialog modally; returns the process exit code.
    int InitInstance();

    // Program-wide state. The user's choices for the next conversion as the
    // main dialog keeps them while the user works; a conversion takes its own
    // copy when it starts.
    struct ConversionChoices {
        std::array<LensSettings, 2> lenses;  // the record picked for each eye
        int32_t outputHeight = 0;
        ZenithTenths zenith;
    };
    ConversionChoices conversionChoices;
    LensRegistry mainLensRegistry;
    LensRegistry editLensRegistry;
    int32_t selectedLensIndex = 0;    // registration dialog's last list pick
    int32_t sineKHundredths = 100;    // registration dialog's k spin counter

    // Hand-over between the main dialog and the point picking dialog.
    std::string m_leftImageName;
    std::string m_rightImageName;
    std::array<int32_t, 8> m_exchangePoints{};  // point-list order
    // The main dialog's "Read pixels as recorded" choice, so that the picker
    // reads the pixels the conversion reads.
    bool m_ignoreOrientation = false;
};

}  // namespace vistereo
