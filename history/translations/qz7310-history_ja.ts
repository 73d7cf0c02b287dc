<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ja_JP">
<context>
    <name>CountChart</name>
    <message>
        <source>Record %1, read %2</source>
        <translation>レコード %1、読み出し %2</translation>
    </message>
</context>
<context>
    <name>HistoryModels</name>
    <message>
        <source>saved</source>
        <translation>保存</translation>
    </message>
    <message>
        <source>refused</source>
        <translation>拒否</translation>
    </message>
    <message>
        <source>not confirmed</source>
        <translation>未確認</translation>
    </message>
    <message>
        <source>no reply</source>
        <translation>応答なし</translation>
    </message>
    <message>
        <source>port not opened</source>
        <translation>ポートを開けず</translation>
    </message>
    <message>
        <source>not written</source>
        <translation>書き込めず</translation>
    </message>
    <message>
        <source>stopped</source>
        <translation>中断</translation>
    </message>
    <message>
        <source>saved, with trouble (exit %1)</source>
        <translation>保存、問題あり（終了 %1）</translation>
    </message>
    <message>
        <source>FAILED: %1 (exit %2)</source>
        <translation>失敗: %1（終了 %2）</translation>
    </message>
    <message>
        <source>no read-out</source>
        <translation>読み出しなし</translation>
    </message>
    <message>
        <source>Counter</source>
        <translation>カウンタ</translation>
    </message>
    <message>
        <source>Last read-out</source>
        <translation>最後の読み出し</translation>
    </message>
    <message>
        <source>How it ended</source>
        <translation>結果</translation>
    </message>
    <message>
        <source>Records</source>
        <translation>レコード数</translation>
    </message>
    <message>
        <source>Read-outs</source>
        <translation>読み出し回数</translation>
    </message>
    <message>
        <source>before it, by someone else</source>
        <translation>他でクリア済み</translation>
    </message>
    <message>
        <source>no</source>
        <translation>なし</translation>
    </message>
    <message>
        <source>yes</source>
        <translation>あり</translation>
    </message>
    <message>
        <source>sent, no answer</source>
        <translation>送信、応答なし</translation>
    </message>
    <message>
        <source>refused (%1)</source>
        <translation>拒否（%1）</translation>
    </message>
    <message>
        <source>Time</source>
        <translation>時刻</translation>
    </message>
    <message>
        <source>Request</source>
        <translation>要求</translation>
    </message>
    <message>
        <source>Received</source>
        <translation>受信</translation>
    </message>
    <message>
        <source>New</source>
        <translation>新規</translation>
    </message>
    <message>
        <source>Cleared</source>
        <translation>クリア</translation>
    </message>
</context>
<context>
    <name>HistoryWindow</name>
    <message>
        <source>&lt;p&gt;&lt;b&gt;No store of read-outs yet.&lt;/b&gt; The collector makes one: run &lt;code&gt;qz7310-collect --port COM1 --store sqlite:%1 --counter lab3&lt;/code&gt; (or with &lt;code&gt;--store postgresql://USER@HOST/DATABASE&lt;/code&gt; for a server the whole laboratory writes to), and every read-out it makes from then on, whether it was saved or failed, is added to that store. Then open the store here with &lt;i&gt;File &amp;gt; Open SQLite store&lt;/i&gt; or &lt;i&gt;Open PostgreSQL store&lt;/i&gt;, or start &lt;code&gt;qz7310-history&lt;/code&gt; with the same URL.&lt;/p&gt;</source>
        <translation>&lt;p&gt;&lt;b&gt;読み出しの記録がまだありません。&lt;/b&gt;記録は qz7310-collect が作ります: &lt;code&gt;qz7310-collect --port COM1 --store sqlite:%1 --counter lab3&lt;/code&gt; （研究室全体で一つのサーバーに書く場合は &lt;code&gt;--store postgresql://USER@HOST/DATABASE&lt;/code&gt;）を実行すると、それ以降の読み出しは保存されたものも失敗したものもすべてその記録に追加されます。その記録を &lt;i&gt;ファイル &amp;gt; SQLite の記録を開く&lt;/i&gt; または &lt;i&gt;PostgreSQL の記録を開く&lt;/i&gt; で開くか、同じ URL を付けて &lt;code&gt;qz7310-history&lt;/code&gt; を起動してください。&lt;/p&gt;</translation>
    </message>
    <message>
        <source>Whole history</source>
        <translation>全期間</translation>
    </message>
    <message>
        <source>Last 7 days</source>
        <translation>過去 7 日</translation>
    </message>
    <message>
        <source>Last 30 days</source>
        <translation>過去 30 日</translation>
    </message>
    <message>
        <source>Last 365 days</source>
        <translation>過去 365 日</translation>
    </message>
    <message>
        <source>Since a date</source>
        <translation>指定日以降</translation>
    </message>
    <message>
        <source>Period:</source>
        <translation>期間:</translation>
    </message>
    <message>
        <source>Zoom out</source>
        <translation>全体表示</translation>
    </message>
    <message>
        <source>Drag across the chart to zoom into a period; the wheel zooms too, a right click zooms out. Hover a line for a record&apos;s values.</source>
        <translation>グラフ上をドラッグすると期間を拡大します。ホイールでも拡大・縮小でき、右クリックで縮小します。線にマウスを置くとレコードの値を表示します。</translation>
    </message>
    <message>
        <source>Counts over time</source>
        <translation>カウントの推移</translation>
    </message>
    <message>
        <source>Copy</source>
        <translation>コピー</translation>
    </message>
    <message>
        <source>Read-out</source>
        <translation>読み出し</translation>
    </message>
    <message>
        <source>&amp;File</source>
        <translation>ファイル(&amp;F)</translation>
    </message>
    <message>
        <source>Open &amp;SQLite store...</source>
        <translation>SQLite の記録を開く(&amp;S)...</translation>
    </message>
    <message>
        <source>Open &amp;PostgreSQL store...</source>
        <translation>PostgreSQL の記録を開く(&amp;P)...</translation>
    </message>
    <message>
        <source>&amp;Recent stores</source>
        <translation>最近開いた記録(&amp;R)</translation>
    </message>
    <message>
        <source>&amp;Export CSV...</source>
        <translation>CSV 出力(&amp;E)...</translation>
    </message>
    <message>
        <source>&amp;Quit</source>
        <translation>終了(&amp;Q)</translation>
    </message>
    <message>
        <source>&amp;View</source>
        <translation>表示(&amp;V)</translation>
    </message>
    <message>
        <source>&amp;Refresh</source>
        <translation>最新の情報に更新(&amp;R)</translation>
    </message>
    <message>
        <source>Open SQLite store</source>
        <translation>SQLite の記録を開く</translation>
    </message>
    <message>
        <source>SQLite stores (*.db *.sqlite *.sqlite3);;All files (*)</source>
        <translation>SQLite の記録 (*.db *.sqlite *.sqlite3);;すべてのファイル (*)</translation>
    </message>
    <message>
        <source>Open PostgreSQL store</source>
        <translation>PostgreSQL の記録を開く</translation>
    </message>
    <message>
        <source>URL of the store, as the collector&apos;s --store names it:
postgresql://USER@HOST:PORT/DATABASE
The password is never part of it: it is taken from ~/.pgpass or PGPASSWORD.</source>
        <translation>記録の URL（qz7310-collect の --store と同じ形式）:
postgresql://USER@HOST:PORT/DATABASE
パスワードは URL に含めません。~/.pgpass または PGPASSWORD から読み込みます。</translation>
    </message>
    <message>
        <source>Cannot open the store %1</source>
        <translation>記録 %1 を開けません</translation>
    </message>
    <message>
        <source>QZ-7310 history - %1</source>
        <translation>QZ-7310 履歴 - %1</translation>
    </message>
    <message>
        <source>QZ-7310 history - %1 - %2</source>
        <translation>QZ-7310 履歴 - %1 - %2</translation>
    </message>
    <message>
        <source>QZ-7310 history</source>
        <translation>QZ-7310 履歴</translation>
    </message>
    <message>
        <source>Cannot read the store: %1</source>
        <translation>記録を読めません: %1</translation>
    </message>
    <message numerus="yes">
        <source>%n counter(s); read %1</source>
        <translation>
            <numerusform>カウンタ %n 台、%1 に読み込み</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%1: %n record(s)</source>
        <translation>
            <numerusform>%1: %n レコード</numerusform>
        </translation>
    </message>
    <message>
        <source>%1, %2 of %3: %4 record(s) received, %5 new; %6</source>
        <translation>%1、%2（%3）: 受信 %4 レコード、新規 %5、%6</translation>
    </message>
    <message>
        <source>No records in this reply</source>
        <translation>この応答にはレコードがありません</translation>
    </message>
    <message numerus="yes">
        <source>%n record(s) of counter %1 written to %2</source>
        <translation>
            <numerusform>カウンタ %1 の %n レコードを %2 に書き込みました</numerusform>
        </translation>
    </message>
    <message>
        <source>Export CSV</source>
        <translation>CSV 出力</translation>
    </message>
    <message>
        <source>CSV files (*.csv)</source>
        <translation>CSV ファイル (*.csv)</translation>
    </message>
    <message>
        <source>Cannot write %1</source>
        <translation>%1 に書き込めません</translation>
    </message>
</context>
<context>
    <name>ReadoutChart</name>
    <message>
        <source>Record %1
%2: %3</source>
        <translation>レコード %1
%2: %3</translation>
    </message>
</context>
<context>
    <name>main</name>
    <message>
        <source>Shows the read-outs the collector (qz7310-collect --store) keeps: the counters, their read-outs, the counts over time and each read-out&apos;s records.</source>
        <translation>qz7310-collect --store が記録した読み出しを表示します: カウンタ、その読み出し、カウントの推移、各読み出しのレコード。</translation>
    </message>
    <message>
        <source>sqlite:PATH or postgresql://[USER@]HOST[:PORT]/DATABASE (the password from ~/.pgpass or PGPASSWORD); without it, the store opened last</source>
        <translation>sqlite:PATH または postgresql://[USER@]HOST[:PORT]/DATABASE（パスワードは ~/.pgpass または PGPASSWORD から）。省略すると最後に開いた記録</translation>
    </message>
</context>
</TS>
