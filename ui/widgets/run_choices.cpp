#include "ui/widgets/run_choices.h"

namespace vistereo {

QString describeColourChoice(ColourMatching matching) {
    switch (matching) {
        case ColourMatching::Off: return QStringLiteral("Colour: as photographed (Match colour is off)");
        case ColourMatching::Tone:
            return QStringLiteral("Colour: right eye matched to the left (gain and offset per channel, Match colour)");
        case ColourMatching::ToneAndFalloff:
            return QStringLiteral("Colour: right eye matched to the left, with its lens's fall-off (Match colour)");
    }
    return {};
}

QString describeConvergenceChoice(double degrees) {
    if (degrees == 0.0) return QStringLiteral("Stereo window: as the alignment leaves it (Convergence 0)");
    return QStringLiteral("Stereo window: right eye turned %1° (Convergence)").arg(degrees, 0, 'f', 2);
}

}  // namespace vistereo
