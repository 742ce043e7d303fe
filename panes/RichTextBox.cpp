// Placeholder until the text pane component lands.
#include "panes/RichTextBox.h"

RichTextBox::RichTextBox(QWidget *parent) : QPlainTextEdit(parent)
{
    connect(this, &QPlainTextEdit::textChanged, this, &RichTextBox::Change);
}
QString RichTextBox::Text() const { return toPlainText(); }
void RichTextBox::setText(const QString &text) { setPlainText(text); }
int RichTextBox::SelStart() const { return 0; }
void RichTextBox::setSelStart(int) {}
int RichTextBox::SelLength() const { return 0; }
void RichTextBox::setSelLength(int) {}
QString RichTextBox::SelText() const { return {}; }
void RichTextBox::setSelText(const QString &) {}
void RichTextBox::Span(const QString &, bool, bool) {}
void RichTextBox::UpTo(const QString &, bool, bool) {}
void RichTextBox::SetFocus() { setFocus(); }
bool RichTextBox::LoadFile(const QString &, int) { return false; }
bool RichTextBox::SaveFile(const QString &, int) { return false; }
bool RichTextBox::SelPrint(QPrinter *) { return false; }
