#pragma once
// The about box of the master and the client agent: product and module rows from the running
// program's own version information, the maker's support and rights rows, and a link to the
// maker's web site.

#include <corekit/types.h>

#include <QDialog>
#include <QString>

#include <vector>

class QFrame;
class QLabel;
class QPushButton;
class QTableView;
class TOwnerDataModel;

class TAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit TAboutDlg(QWidget *parent = nullptr);

    /// Creates the box without owner, centres it over centreOver (if any), shows it modally and
    /// destroys it; returns the modal result.
    static int ShowAbout(QWidget *centreOver);

    /// The file whose version information the box shows; the running program by default.
    void SetProgramFile(const QString &path) { FProgramFile = path; }

    /// The row list, each row as label "^" value (filled when the box is shown).
    const std::vector<UnicodeString> &Rows() const { return FRows; }

    /// The address the link opens (the caption of the link label).
    QString BrowseUrl() const { return FBrowseUrl; }

    QFrame *p_panBase;
    QFrame *p_panTop;
    QFrame *Shape1;
    QTableView *p_lvAbout;
    QFrame *p_panBot;
    QLabel *p_labURL;
    QPushButton *P_bnOk;

    /// Cell text of the list: caption before the last "^", sub-item after it.
    QString p_lvAboutData(int row, int column) const;

protected:
    void showEvent(QShowEvent *e) override;
    bool eventFilter(QObject *watched, QEvent *e) override;

private:
    void FormShow();
    void p_labURLClick();
    void p_labURLMouseEnter();
    void p_labURLMouseLeave();
    void p_lvAboutEnter();

    TOwnerDataModel *FModel;
    std::vector<UnicodeString> FRows;
    QString FProgramFile;
    QString FBrowseUrl;
};

/// Full path of the running program (/proc/self/exe), empty when it cannot be read.
QString RunningProgramFile();
