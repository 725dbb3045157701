#pragma once

#include <QWidget>

class Configuration;
class QLabel;
class SingleInstanceChecker;

// A minimal window until the real one (form, update engine, banner) takes its place: it shows the
// header, raises itself when another updater is started, and reports configuration failures.
class MainWindow : public QWidget
{
    Q_OBJECT
public:
    explicit MainWindow(Configuration* config);
    ~MainWindow() override;

    void updateHeaderText();
    void setNewsText(const QString& html);

public slots:
    void onAutoStartUpdate();

private slots:
    void onFatalConfigError(QString errorMessage);
    void onOtherInstanceActivate(QString message);

private:
    Configuration* config;
    QLabel* versionLabel;
    QLabel* newsLabel;
    SingleInstanceChecker* checker;
};
