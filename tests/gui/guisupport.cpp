// SPDX-License-Identifier: GPL-3.0-or-later
#include <QApplication>
#include <QBuffer>
#include <QDialog>
#include <QElapsedTimer>
#include <QImage>
#include <QMessageBox>
#include <QPainter>
#include <QTest>
#include <QTimer>

#include "guitests.h"
#include "newsserver/spool.h"

namespace qm::test {

std::vector<std::pair<const char*, TestFactory>>& guiTestClasses() {
    static std::vector<std::pair<const char*, TestFactory>> classes;
    return classes;
}

RegisterGuiTest::RegisterGuiTest(const char* name, TestFactory make) {
    guiTestClasses().emplace_back(name, std::move(make));
}

ThrowAwayHome::ThrowAwayHome()
    : m_oldConfig(qgetenv("XDG_CONFIG_HOME")), m_oldData(qgetenv("XDG_DATA_HOME")) {
    qputenv("XDG_CONFIG_HOME", (m_dir.path() + "/config").toUtf8());
    qputenv("XDG_DATA_HOME", (m_dir.path() + "/data").toUtf8());
}

ThrowAwayHome::~ThrowAwayHome() {
    qputenv("XDG_CONFIG_HOME", m_oldConfig);
    qputenv("XDG_DATA_HOME", m_oldData);
}

namespace {

QByteArray picture(int seed) {
    QImage image(48, 32, QImage::Format_RGB32);
    image.fill(QColor::fromHsv((seed * 47) % 360, 160, 230));
    QPainter p(&image);
    p.setBrush(Qt::white);
    p.drawEllipse(QPoint(24, 16), 8 + seed % 6, 8);
    p.end();
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

char uuChar(int v) {
    return v == 0 ? '`' : static_cast<char>(v + 32);
}

QList<QByteArray> uuLines(const QByteArray& data) {
    QList<QByteArray> lines;
    for (qsizetype at = 0; at < data.size(); at += 45) {
        const QByteArray chunk = data.mid(at, 45);
        QByteArray line(1, uuChar(static_cast<int>(chunk.size())));
        for (qsizetype i = 0; i < chunk.size(); i += 3) {
            const auto b = [&](qsizetype k) {
                return i + k < chunk.size() ? static_cast<unsigned char>(chunk[i + k]) : 0;
            };
            const int n = (b(0) << 16) | (b(1) << 8) | b(2);
            for (int shift : {18, 12, 6, 0}) line += uuChar((n >> shift) & 63);
        }
        lines << line;
    }
    lines << "`";
    return lines;
}

void uuPosts(const std::string& spool, int n, std::uint64_t& number) {
    const std::string group = "alt.pictures.demo";
    const QString name = QStringLiteral("demo%1.png").arg(n);
    QList<QByteArray> lines = uuLines(picture(n));
    const std::string head = "begin 644 " + name.toStdString() + "\n";
    const std::string id = "<uu" + std::to_string(n);
    if (n % 2 == 0) {  // a single post
        std::string body = head;
        for (const auto& l : lines) body += l.toStdString() + "\n";
        newsd::writeSpoolArticle(spool, group, number++,
                                 "Subject: " + name.toStdString() + " (1/1)\nMessage-ID: " + id +
                                     "@demo>\nLines: " + std::to_string(lines.size() + 2),
                                 body + "end\n");
        return;
    }
    const qsizetype half = lines.size() / 2;
    std::string first = head, second;
    for (qsizetype i = 0; i < lines.size(); ++i)
        (i < half ? first : second) += lines[i].toStdString() + "\n";
    second += "end\n";
    for (int part = 1; part <= 2; ++part)
        newsd::writeSpoolArticle(spool, group, number++,
                                 "Subject: " + name.toStdString() + " (" + std::to_string(part) +
                                     "/2)\nMessage-ID: " + id + "p" + std::to_string(part) +
                                     "@demo>",
                                 part == 1 ? first : second);
}

void mimePost(const std::string& spool, int n, std::uint64_t number) {
    const std::string name = "mime" + std::to_string(n) + ".png";
    QByteArray encoded = picture(100 + n).toBase64();
    std::string body;
    for (qsizetype at = 0; at < encoded.size(); at += 76)
        body += encoded.mid(at, 76).toStdString() + "\n";
    newsd::writeSpoolArticle(spool, "alt.binaries.pictures.test", number,
                             "Subject: " + name + "\nMessage-ID: <mime" + std::to_string(n) +
                                 "@demo>\nMIME-Version: 1.0\nContent-Type: image/png; name=\"" +
                                 name + "\"\nContent-Transfer-Encoding: base64",
                             body);
}

}  // namespace

void writeSampleSpool(const std::string& spool, int picturesPerGroup, int groupCount) {
    std::uint64_t uuNumber = 1;
    for (int n = 0; n < picturesPerGroup; ++n) {
        uuPosts(spool, n, uuNumber);
        mimePost(spool, n, static_cast<std::uint64_t>(n) + 1);
    }
    newsd::writeSpoolArticle(spool, "comp.misc.talk", 1, "Subject: hello\nMessage-ID: <talk1@demo>",
                             "Just words.\n");
    for (int g = 3; g < groupCount; ++g)
        newsd::writeSpoolArticle(spool, "misc.extra.g" + std::to_string(g), 1,
                                 "Subject: x\nMessage-ID: <x" + std::to_string(g) + "@demo>",
                                 "x\n");
}

ModalCatcher::ModalCatcher() {
    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &ModalCatcher::poll);
    timer->start(30);
}

void ModalCatcher::poll() {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal) return;
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        if (box->property("qmSeen").toBool()) return;  // onBox is still at work
        box->setProperty("qmSeen", true);
        m_texts << box->text();
        if (onBox) onBox(box->text());
        box->done(QMessageBox::Ok);
        return;
    }
    if (auto* dialog = qobject_cast<QDialog*>(modal); dialog && dialog->isVisible()) {
        if (dialog->property("qmSeen").toBool()) return;
        dialog->setProperty("qmSeen", true);
        ++m_dialogs;
        if (onDialog)
            onDialog(*dialog);
        else
            dialog->reject();
    }
}

bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs) return false;
        QTest::qWait(20);
    }
    return true;
}

}  // namespace qm::test
