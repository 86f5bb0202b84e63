#include "modcommdia.h"

#include "core/service.h"
#include "core/toolkit.h"

#include <QComboBox>
#include <QFileDialog>
#include <QGuiApplication>
#include <QHeaderView>
#include <QScreen>
#include <QStringList>
#include <QTreeView>

namespace {

// Qt reads a filter's patterns from the parentheses that end its text, and
// "*.*" there only matches names with a dot; the catch-all means every file.
QString qtNameFilter(const QPair<QString, QString>& pair)
{
    QStringList patterns = pair.second.split(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (QString& pattern : patterns) {
        pattern = pattern.trimmed();
        if (pattern == QLatin1String("*.*"))
            pattern = QStringLiteral("*");
    }
    return pair.first + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) + QLatin1Char(')');
}

// Room for the list in Detail view with its Name, Size, Type and Date columns side by side.
constexpr QSize kDialogSize(800, 500);

class DialogChooser final : public FileChooser
{
public:
    QString openFile(QWidget* owner, const OpenFileRequest& request) override
    {
        QFileDialog dialog(owner, request.title, request.folder);
        // Qt's own dialog: its filter list can show the program's texts as they stand.
        dialog.setOption(QFileDialog::DontUseNativeDialog, true);
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(QFileDialog::ExistingFile);
        dialog.setViewMode(QFileDialog::Detail);
        // The list shows each description alone; the patterns behind it are ours.
        dialog.setOption(QFileDialog::HideNameFilterDetails, true);
        QStringList nameFilters;
        for (const auto& pair : request.filters)
            nameFilters << qtNameFilter(pair);
        if (!nameFilters.isEmpty()) {
            dialog.setNameFilters(nameFilters);
            // QFileDialog keeps its filters simplified; selecting by the raw text would miss.
            dialog.selectNameFilter(nameFilters.at(request.selectedFilter).simplified());
            showDescriptionsAsWritten(dialog, request.filters);
        }
        if (!request.defaultName.isEmpty())
            dialog.selectFile(request.defaultName);
        fitColumnsToContents(dialog);
        QSize size = kDialogSize.expandedTo(dialog.sizeHint());
        if (const QScreen* screen = owner ? owner->screen() : QGuiApplication::primaryScreen())
            size = size.boundedTo(screen->availableSize());
        dialog.resize(size);

        if (execWithArrowPointer(dialog) != QDialog::Accepted)
            return QString();
        const QStringList chosen = dialog.selectedFiles();
        return chosen.isEmpty() ? QString() : chosen.first();
    }

private:
    // Qt sizes Size, Type and Date for sample texts ("10/29/81 02:02PM") that a date in the operator's
    // locale outgrows; they take the width of what they show instead.
    static void fitColumnsToContents(QFileDialog& dialog)
    {
        auto* list = dialog.findChild<QTreeView*>(QStringLiteral("treeView"));
        if (!list)
            return;
        for (int column = 1; column < list->header()->count(); ++column)
            list->header()->setSectionResizeMode(column, QHeaderView::ResizeToContents);
    }

    // QFileDialog simplifies the texts it is given ("WAV  (*.wav)" shows as "WAV (*.wav)"). The list's
    // entries are only labels: the dialog filters by the index chosen, so the labels can be ours.
    static void showDescriptionsAsWritten(QFileDialog& dialog, const QList<QPair<QString, QString>>& filters)
    {
        auto* types = dialog.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
        if (!types || types->count() != filters.size())
            return;
        for (int i = 0; i < types->count(); ++i)
            types->setItemText(i, filters.at(i).first);
    }
};

ServiceSlot<FileChooser, DialogChooser> gService;

} // namespace

QList<QPair<QString, QString>> parseFileFilter(const QString& filter)
{
    QStringList parts = filter.split(QLatin1Char('|'));
    if (filter.endsWith(QLatin1Char('|')))
        parts.removeLast();
    QList<QPair<QString, QString>> pairs;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2)
        pairs.append({parts.at(i), parts.at(i + 1)});
    return pairs;
}

FileChooser& fileChooser()
{
    return gService.get();
}

void setFileChooser(FileChooser* chooser)
{
    gService.install(chooser);
}

QString ShowOpenFileDialog(QWidget* owner, const QString& filter, const QString& title, const QString& initialDir,
                           const QString& defaultName)
{
    OpenFileRequest request;
    request.title = title;
    request.filters = parseFileFilter(filter);
    request.selectedFilter = 0;
    request.folder = initialDir;
    request.defaultName = defaultName.trimmed();
    return fileChooser().openFile(owner, request);
}
