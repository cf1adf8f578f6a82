// The About dialog: picture, product name and legal notice, version, and the Check for
// Updates button that runs the portable update check through the desktop interface.
#pragma once

#include <QDialog>
#include <string>

#include "ui/http_client.h"
#include "ui/notifier.h"
#include "ui/update_check.h"

class QPushButton;

namespace kestrune {

class AboutDialog final : public QDialog {
    Q_OBJECT

  public:
    // The boxes go through desktop; the version file is fetched with http from webSite.
    AboutDialog(Notifier& desktop, HttpClient& http, std::string webSite = kDefaultWebSite);

    // The ref the confirmation box is owned by: this dialog as a QWidget*.
    WindowRef windowRef() { return reinterpret_cast<WindowRef>(static_cast<QWidget*>(this)); }

  protected:
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void runUpdateCheck();

    Notifier& desktop_;
    HttpClient& http_;
    std::string webSite_;
    bool checking_ = false;
};

// Opens the About dialog modally with no owner and returns when it closes.
void showAboutDialog(Notifier& desktop, HttpClient& http,
                     const std::string& webSite = kDefaultWebSite);

}  // namespace kestrune
