#include "modcommdia.h"

#include <QApplication>
#include <QFileDialog>
#include <QStringList>

#include <deque>
#include <optional>

namespace {

bool gScripted = false;
// An empty optional is a cancel.
std::deque<std::optional<QString>> gAnswers;
QList<FileDialogs::Asked> gAsked;

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

QString askPerson(QWidget* owner, const FileDialogs::Asked& asked)
{
    QFileDialog dialog(owner, asked.title, asked.folder);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    // The list shows each description alone; the patterns behind it are ours.
    dialog.setOption(QFileDialog::HideNameFilterDetails, true);
    QStringList nameFilters;
    for (const auto& pair : asked.filters)
        nameFilters << qtNameFilter(pair);
    if (!nameFilters.isEmpty()) {
        dialog.setNameFilters(nameFilters);
        // QFileDialog keeps its filters simplified; selecting by the raw text would miss.
        dialog.selectNameFilter(nameFilters.at(asked.selectedFilter).simplified());
    }
    if (!asked.defaultName.isEmpty())
        dialog.selectFile(asked.defaultName);

    // The busy pointer of the command that opened the dialog must not hide the file list.
    const bool busy = QApplication::overrideCursor() != nullptr;
    if (busy)
        QApplication::setOverrideCursor(Qt::ArrowCursor);
    const int result = dialog.exec();
    if (busy)
        QApplication::restoreOverrideCursor();
    if (result != QDialog::Accepted)
        return QString();
    const QStringList chosen = dialog.selectedFiles();
    return chosen.isEmpty() ? QString() : chosen.first();
}

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

QString ShowOpenFileDialog(QWidget* owner, const QString& filter, const QString& title, const QString& initialDir,
                           const QString& defaultName)
{
    FileDialogs::Asked asked;
    asked.title = title;
    asked.filters = parseFileFilter(filter);
    asked.selectedFilter = 0;
    asked.folder = initialDir;
    asked.defaultName = defaultName.trimmed();
    asked.existingOnly = true;

    if (!gScripted)
        return askPerson(owner, asked);
    gAsked.append(asked);
    if (gAnswers.empty())
        return QString();
    const std::optional<QString> answer = gAnswers.front();
    gAnswers.pop_front();
    return answer.value_or(QString());
}

void FileDialogs::setScripted(bool scripted)
{
    gScripted = scripted;
}

bool FileDialogs::scripted()
{
    return gScripted;
}

void FileDialogs::setNextFile(const QString& path)
{
    gScripted = true;
    gAnswers.emplace_back(path);
}

void FileDialogs::setNextCancel()
{
    gScripted = true;
    gAnswers.emplace_back(std::nullopt);
}

QList<FileDialogs::Asked>& FileDialogs::asked()
{
    return gAsked;
}

void FileDialogs::reset()
{
    gScripted = false;
    gAnswers.clear();
    gAsked.clear();
}
