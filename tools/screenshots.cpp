// ui_screenshots OUTDIR: opens every window of the desktop program on the
// bundled example and saves what the screen shows, one PNG per window: the
// main dialog (on a first start without lenses too), the "Add my lens" guide
// with a found circle, the registration dialog, the point picker, the batch window
// idle, while running and finished (aligned once), the video window idle, with the offset found,
// while converting and finished, the preview (side by side, as the
// difference of the halves with "Match colour" and a convergence, and at its
// own pixels) and the About box. Run it under a
// virtual X server of the screen size to look at (scripts/screenshots.sh).
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <opencv2/imgcodecs.hpp>

#include "lens/lens_selection.h"
#include "conversion/run.h"
#include "stereofile/stereo_image.h"
#include "videofile/video_reader.h"
#include "tools/synth/synth.h"
#include "tools/synth/synth_video.h"
#include "ui/about_dialog.h"
#include "ui/windows/add_lens_guide.h"
#include "ui/app.h"
#include "ui/windows/batch_dialog.h"
#include "ui/camera_dialog.h"
#include "ui/lr_point_dialog.h"
#include "ui/main_dialog.h"
#include "ui/widgets/message_box.h"
#include "ui/windows/preview_dialog.h"
#include "ui/windows/video_dialog.h"

using namespace vistereo;

namespace {

QString outDir;

// The whole screen once `window` is up and painted.
void shoot(QWidget* window, const QString& name) {
    window->show();
    if (!QTest::qWaitForWindowExposed(window)) qWarning("%s never appeared", qPrintable(name));
    QTest::qWait(400);
    const QString file = outDir + "/" + name + ".png";
    QGuiApplication::primaryScreen()->grabWindow(0).save(file);
    qInfo("%s: window %dx%d at %d,%d", qPrintable(file), window->frameGeometry().width(),
          window->frameGeometry().height(), window->frameGeometry().x(), window->frameGeometry().y());
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    if (argc != 3) {
        qWarning("usage: ui_screenshots EXAMPLES_DIR OUTDIR");
        return 2;
    }
    const QString examples = QDir(argv[1]).absolutePath();
    outDir = QDir(argv[2]).absolutePath();
    QDir().mkpath(outDir);
    QTemporaryDir work;
    QDir::setCurrent(work.path());
    // Every window as on a first start: no remembered positions or choices.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, work.path() + "/settings");
    qputenv("XDG_CONFIG_HOME", (work.path() + "/config").toUtf8());
    for (const QString file : {"Vistereo.ini", "input/L.jpg", "input/R.jpg"}) {
        QDir().mkpath(QFileInfo(file).path());
        QFile::copy(examples + "/" + file, file);
    }
    QDir().mkpath("output");
    // A batch of pairs large enough to be seen running.
    QDir().mkpath("input/left");
    QDir().mkpath("input/right");
    const cv::Mat left = cv::imread("input/L.jpg"), right = cv::imread("input/R.jpg");
    for (int k = 1; k <= 6; ++k) {
        cv::imwrite(QString("input/left/IMG_%1.jpg").arg(k, 4, 10, QChar('0')).toStdString(), left);
        cv::imwrite(QString("input/right/IMG_%1.jpg").arg(k, 4, 10, QChar('0')).toStdString(), right);
    }
    media::silenceVideoLibraries();
    setMessageHook([](const QString& text) { qInfo("message: %s", qPrintable(text)); });

    {
        // A first start in a folder without lenses: the lists say why they are empty.
        QFile::rename("Vistereo.ini", "Vistereo.ini.aside");
        CMyVistereoApp firstApp;
        CMyVistereoDlg first(firstApp);
        shoot(&first, "main-first-run");
        QFile::rename("Vistereo.ini.aside", "Vistereo.ini");
    }
    CMyVistereoApp app;
    CMyVistereoDlg main(app);
    shoot(&main, "main");
    {
        // The guide with the circle found in the example's left photo.
        AddLensGuide guide("Vistereo.ini", std::filesystem::path((work.path() + "/config/vistereo/Vistereo.ini").toStdString()),
                           &main);
        QSignalSpy searched(&guide, &AddLensGuide::circleSearched);
        guide.show();
        guide.usePhotos({"input/L.jpg"});
        if (!searched.wait(60000)) qWarning("the guide found no circle in time");
        guide.findChild<QLineEdit*>("lensName")->setText("My fisheye");
        shoot(&guide, "add-my-lens");
    }

    CameraDlg2 registration(app, &main);
    shoot(&registration, "registration");
    registration.hide();

    app.m_leftImageName = "L.jpg";
    app.m_rightImageName = "R.jpg";
    app.m_exchangePoints = {560, 1060, 554, 1048, 820, 700, 822, 687};
    {
        LRPointDlg picker(app, &main);
        picker.open();
        shoot(&picker, "picker");
    }

    ConversionRequest request;
    request.lenses.fill(lensSettingsOf(app.mainLensRegistry.records[0]));
    request.alignment = PointsAB{PointSet::fromListOrder({560, 1060, 554, 1048, 820, 700, 822, 687})};
    request.outputHeight = 2048;
    request.workingDirectory = ".";
    {
        BatchDialog batch(request, false, &main);
        shoot(&batch, "batch-idle");
        // Aligned once, so that the finished window shows how well one rotation fits the shoot.
        batch.findChild<QComboBox*>("alignment")->setCurrentIndex(static_cast<int>(BatchDialog::Alignment::Once));
        QTimer::singleShot(0, &batch, &BatchDialog::start);
        if (!QTest::qWaitFor([&] { return batch.running(); }, 5000)) qWarning("the batch did not start");
        QTest::qWait(1500);
        shoot(&batch, "batch-running");
        if (!QTest::qWaitFor([&] { return !batch.running(); }, 120000)) qWarning("the batch did not end");
        shoot(&batch, "batch-finished");
    }

    {
        // Two cameras' takes of the panorama, long enough to be seen converting.
        synth::SynthTake take;
        take.width = 320, take.height = 240, take.frames = 96;
        synth::writeSynthTake(take, "input/L.mp4", "input/R.mp4");
        ConversionRequest videoChoices = request;
        LensRecord equisolid;
        equisolid.name = "Equisolid", equisolid.mappingKind = 1;
        videoChoices.lenses.fill(lensSettingsOf(equisolid));
        videoChoices.alignment = PointsAB{PointSet::fromListOrder(parseCommaLine(synth::synthTakePoints(take)).values)};
        VideoDialog video(videoChoices, true, &main);
        shoot(&video, "video-idle");
        QSignalSpy shown(&video, &VideoDialog::offsetShown);
        video.findOffset();
        if (!shown.wait(60000)) qWarning("no offset was shown");
        shoot(&video, "video-offset");
        video.findChild<QLineEdit*>("height")->setText("1024");
        QSignalSpy finished(&video, &VideoDialog::videoFinished);
        QTimer::singleShot(0, &video, &VideoDialog::start);
        if (!QTest::qWaitFor([&] { return video.running(); }, 5000)) qWarning("the video did not start");
        QTest::qWait(2500);
        shoot(&video, "video-running");
        if (!finished.wait(120000)) qWarning("the video did not end");
        shoot(&video, "video-finished");
    }

    struct : MessageSink {
        void showMessage(const std::string&) override {}
    } quiet;
    request.outputName = "LROut.jpg";
    RunConversion(request, quiet);
    {
        PreviewDialog preview(readStereoImage("output/LROut.jpg").sideBySide, "output/LROut.jpg", &main);
        QSignalSpy measured(&preview, &PreviewDialog::measured);
        preview.show();
        if (!measured.wait(60000)) qWarning("the preview measured nothing");
        shoot(&preview, "preview");
        QSignalSpy matched(&preview, &PreviewDialog::colourMeasured);
        preview.findChild<QCheckBox*>("previewMatchColour")->setChecked(true);
        preview.findChild<QDoubleSpinBox*>("previewConvergence")->setValue(1.5);
        preview.setMode(PreviewDialog::Difference);
        if (!matched.wait(60000)) qWarning("the preview measured no matched colours");
        shoot(&preview, "preview-difference");
        preview.setMode(PreviewDialog::SideBySide);
        preview.view()->actualSize();
        shoot(&preview, "preview-actual-pixels");
    }

    CAboutDlg about(&main);
    shoot(&about, "about");
    about.hide();

    // The longest of the messages that follow a closing message or a registry rewrite.
    for (const auto& [name, text] :
         {std::pair{"message-impossible-point",
                    "The output cannot show the pictures as they are: point A of the left picture (5000, 300) lies outside "
                    "that picture (1600 x 1200)."},
          std::pair{"message-impossible-lens",
                    "The output cannot show the pictures as they are: the right lens \"Typed\": magnification is 0: the "
                    "image circle's radius in half image heights must be above 0 and at most 100 (its record holds \"abc\")."},
          std::pair{"message-registry-changed",
                    "Vistereo.ini had been changed by another program since this window read it. This window writes the "
                    "file from its own copy, so \"Theirs\" is no longer in it; register it again if it is still wanted."}}) {
        const auto box = makeMessageBox(&main, QString::fromUtf8(text));
        shoot(box.get(), name);
    }
    return 0;
}
