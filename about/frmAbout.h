#pragma once

#include <QDialog>

class QLabel;

namespace kelm {

// "Info zu KELM": the application title, the version and the maker's address.
class frmAbout : public QDialog
{
    Q_OBJECT

public:
    explicit frmAbout(QWidget *parent = nullptr);

private:
    void Form_Load();

    QLabel *m_lblTitle = nullptr;
    QLabel *m_lblVersion = nullptr;
};

} // namespace kelm
