// Find in the panes: made with the window; closed over the send pane once it is being sent.
#include "app/Form1.h"

#include "panes/PaneFind.h"
#include "panes/RichTextBox.h"

void Form1::buildFind()
{
    m_find = new PaneFind(RichTextBox1, RichTextBox2, centralWidget(), this);
    connect(RichTextBox1, &RichTextBox::lockedChanged, this, [this](bool locked) {
        if (locked)
            m_find->close(RichTextBox1);
    });
}
