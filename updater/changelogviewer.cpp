#include "changelogviewer.h"

#include <QDialogButtonBox>
#include <QFont>
#include <QTextEdit>
#include <QVBoxLayout>

ChangeLogViewer* ChangeLogViewer::m_instance = nullptr;

void ChangeLogViewer::showChangeLog(QWidget* parent, const QString& version)
{
    if (!m_instance)
        m_instance = new ChangeLogViewer(parent, version);
    m_instance->show();
    m_instance->raise();
    m_instance->activateWindow();
}

ChangeLogViewer::ChangeLogViewer(QWidget* parent, const QString& version)
    : QDialog(parent, Qt::WindowSystemMenuHint), textEdit(new QTextEdit(this)), version(version)
{
    setObjectName(QStringLiteral("ChangeLogViewer"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(tr("Changelog"));
    textEdit->setObjectName(QStringLiteral("changeLogTextEdit"));
    textEdit->setReadOnly(true);
    textEdit->setLineWrapMode(QTextEdit::NoWrap);
    QFont font;
    font.setStyleHint(QFont::TypeWriter);
    font.setFamily(font.defaultFamily());
    textEdit->setFont(font);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QWidget::close);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(textEdit);
    layout->addWidget(buttons);
    resize(617, 500);
}

ChangeLogViewer::~ChangeLogViewer()
{
    if (m_instance == this)
        m_instance = nullptr;
}
