<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ja_JP">
    <context>
        <name>MainWindow</name>
        <message>
            <source>Kelvara Image Converter</source>
            <translation>Kelvaraイメージコンバータ</translation>
        </message>
        <message>
            <source>Save as</source>
            <translation>保存形式</translation>
        </message>
        <message>
            <source>Convert &amp;selected</source>
            <translation>選択項目を変換(&amp;S)</translation>
        </message>
        <message>
            <source>Convert &amp;all</source>
            <translation>すべて変換(&amp;A)</translation>
        </message>
        <message>
            <source>&amp;Delete selected</source>
            <translation>選択項目を削除(&amp;D)</translation>
        </message>
        <message>
            <source>&amp;Remove all</source>
            <translation>すべて削除(&amp;R)</translation>
        </message>
        <message>
            <source>S&amp;elect all</source>
            <translation>すべて選択(&amp;E)</translation>
        </message>
        <message>
            <source>Kelvara converts 8-bit palette images between BMP, PNG and XYZ.</source>
            <translation>Kelvara は 8 ビットのパレット画像を BMP、PNG、XYZ の間で変換します。</translation>
        </message>
        <message>
            <source>&amp;File</source>
            <translation>ファイル(&amp;F)</translation>
        </message>
        <message>
            <source>&amp;List</source>
            <translation>リスト(&amp;L)</translation>
        </message>
        <message>
            <source>&amp;Options</source>
            <translation>オプション(&amp;O)</translation>
        </message>
        <message>
            <source>&amp;Help</source>
            <translation>ヘルプ(&amp;H)</translation>
        </message>
        <message>
            <source>&amp;Open...</source>
            <translation>開く(&amp;O)...</translation>
        </message>
        <message>
            <source>E&amp;xit</source>
            <translation>終了(&amp;X)</translation>
        </message>
        <message>
            <source>&amp;Delete selected items</source>
            <translation>選択項目を削除(&amp;D)</translation>
        </message>
        <message>
            <source>&amp;Select all</source>
            <translation>すべて選択(&amp;S)</translation>
        </message>
        <message>
            <source>S&amp;ettings...</source>
            <translation>設定(&amp;E)...</translation>
        </message>
        <message>
            <source>&amp;Index</source>
            <translation>目次(&amp;I)</translation>
        </message>
        <message>
            <source>&amp;Version...</source>
            <translation>バージョン情報(&amp;V)...</translation>
        </message>
        <message>
            <source>Add &amp;folder...</source>
            <translation>フォルダを追加(&amp;F)...</translation>
        </message>
        <message>
            <source>Select &amp;failed</source>
            <translation>失敗した項目を選択(&amp;F)</translation>
        </message>
        <message>
            <source>Reaso&amp;n column</source>
            <translation>理由の列(&amp;N)</translation>
        </message>
        <message>
            <source>&amp;Open</source>
            <translation>開く(&amp;O)</translation>
        </message>
        <message>
            <source>Show in &amp;folder</source>
            <translation>フォルダに表示(&amp;F)</translation>
        </message>
        <message>
            <source>Open o&amp;utput</source>
            <translation>出力を開く(&amp;U)</translation>
        </message>
        <message>
            <source>&amp;Copy path</source>
            <translation>パスをコピー(&amp;C)</translation>
        </message>
        <message>
            <source>Convert &amp;again</source>
            <translation>もう一度変換(&amp;A)</translation>
        </message>
        <message>
            <source>&amp;Remove from list</source>
            <translation>リストから削除(&amp;R)</translation>
        </message>
    </context>
    <context>
        <name>ProgressWindow</name>
        <message>
            <source>Converting...</source>
            <translation>変換中...</translation>
        </message>
        <message>
            <source>Please wait while the program is converting your images...</source>
            <translation>画像を変換しています。しばらくお待ちください...</translation>
        </message>
        <message>
            <source>&amp;Cancel</source>
            <translation>キャンセル(&amp;C)</translation>
        </message>
    </context>
    <context>
        <name>SettingsGeneralPage</name>
        <message>
            <source>General</source>
            <translation>全般</translation>
        </message>
        <message>
            <source>Output Folder</source>
            <translation>出力フォルダ</translation>
        </message>
        <message>
            <source>&amp;Same folder as the original files</source>
            <translation>元のファイルと同じフォルダ(&amp;S)</translation>
        </message>
        <message>
            <source>S&amp;pecified folder</source>
            <translation>指定したフォルダ(&amp;P)</translation>
        </message>
        <message>
            <source>Enter the folder to save into, or choose the same folder as the original files.</source>
            <translation>保存先のフォルダを入力するか、元のファイルと同じフォルダを選んでください。</translation>
        </message>
        <message>
            <source>Save &amp;time to recreate the directory structure</source>
            <translation>ディレクトリ構造を再現して保存(&amp;T)</translation>
        </message>
        <message>
            <source>Action if files cannot be found</source>
            <translation>対応していないファイルの扱い</translation>
        </message>
        <message>
            <source>S&amp;kip</source>
            <translation>スキップ(&amp;K)</translation>
        </message>
        <message>
            <source>&amp;Use another destination directory and reproduce the directory structure (if there is a copy)</source>
            <translation>出力先へそのままコピーし、ディレクトリ構造を再現する(&amp;U)</translation>
        </message>
        <message>
            <source>Automatic processing when receiving filenames by...</source>
            <translation>ファイル名を受け取ったときに自動で変換</translation>
        </message>
        <message>
            <source>&amp;Drag &amp;&amp; Drop</source>
            <translation>ドラッグ＆ドロップ(&amp;D)</translation>
        </message>
        <message>
            <source>Co&amp;mmand line</source>
            <translation>コマンドライン(&amp;M)</translation>
        </message>
        <message>
            <source>The 'Open &amp;file'-dialog</source>
            <translation>「ファイルを開く」ダイアログ(&amp;F)</translation>
        </message>
        <message>
            <source>Remo&amp;ve items after successful conversion</source>
            <translation>正常に変換した項目をリストから削除(&amp;V)</translation>
        </message>
        <message>
            <source>Keep w&amp;indow in foreground</source>
            <translation>ウィンドウを常に手前に表示(&amp;I)</translation>
        </message>
    </context>
    <context>
        <name>SettingsSavePage</name>
        <message>
            <source>How to save</source>
            <translation>保存方法</translation>
        </message>
        <message>
            <source>low</source>
            <translation>低</translation>
        </message>
        <message>
            <source>high</source>
            <translation>高</translation>
        </message>
        <message>
            <source>Co&amp;mpression level</source>
            <translation>圧縮レベル(&amp;M)</translation>
        </message>
        <message>
            <source>Filters</source>
            <translation>フィルタ</translation>
        </message>
        <message>
            <source>Non&amp;e</source>
            <translation>なし(&amp;E)</translation>
        </message>
        <message>
            <source>&amp;Sub</source>
            <translation>Sub(&amp;S)</translation>
        </message>
        <message>
            <source>&amp;Up</source>
            <translation>Up(&amp;U)</translation>
        </message>
        <message>
            <source>&amp;Average</source>
            <translation>Average(&amp;A)</translation>
        </message>
        <message>
            <source>&amp;Paeth</source>
            <translation>Paeth(&amp;P)</translation>
        </message>
        <message>
            <source>A&amp;ll</source>
            <translation>すべて(&amp;L)</translation>
        </message>
        <message>
            <source>Comp&amp;ression level</source>
            <translation>圧縮レベル(&amp;R)</translation>
        </message>
        <message>
            <source>If the output file already exists</source>
            <translation>出力ファイルが既にあるとき</translation>
        </message>
        <message>
            <source>Over&amp;write it</source>
            <translation>上書きする(&amp;W)</translation>
        </message>
        <message>
            <source>S&amp;kip the file</source>
            <translation>そのファイルをスキップする(&amp;K)</translation>
        </message>
        <message>
            <source>Save under a &amp;new name (name (1).png)</source>
            <translation>別の名前で保存する(&amp;N) (name (1).png)</translation>
        </message>
        <message>
            <source>E&amp;xpand 1-, 2- and 4-bit palette images to 8 bits</source>
            <translation>1・2・4 ビットのパレット画像を 8 ビットに展開する(&amp;X)</translation>
        </message>
    </context>
    <context>
        <name>kelvara::Failure</name>
        <message>
            <source>the file vanished</source>
            <translation>ファイルがなくなった</translation>
        </message>
        <message>
            <source>not a regular file</source>
            <translation>通常のファイルではない</translation>
        </message>
        <message>
            <source>permission denied</source>
            <translation>アクセスが許可されていない</translation>
        </message>
        <message>
            <source>the header is not a supported bitmap</source>
            <translation>ヘッダが対応しているビットマップではない</translation>
        </message>
        <message>
            <source>not a PNG file</source>
            <translation>PNG ファイルではない</translation>
        </message>
        <message>
            <source>not an XYZ file</source>
            <translation>XYZ ファイルではない</translation>
        </message>
        <message>
            <source>the file ends inside its header</source>
            <translation>ヘッダの途中でファイルが終わっている</translation>
        </message>
        <message>
            <source>the file ends inside the pixel data</source>
            <translation>ピクセルデータの途中でファイルが終わっている</translation>
        </message>
        <message>
            <source>the image data is damaged</source>
            <translation>画像データが壊れている</translation>
        </message>
        <message>
            <source>the compression is not supported</source>
            <translation>対応していない圧縮方式</translation>
        </message>
        <message>
            <source>the image has no pixels</source>
            <translation>画像にピクセルがない</translation>
        </message>
        <message>
            <source>the image is wider or taller than 65535 pixels</source>
            <translation>画像の幅または高さが 65535 ピクセルを超えている</translation>
        </message>
        <message>
            <source>1, 2 or 4 bits per pixel</source>
            <translation>1 ピクセルあたり 1・2・4 ビット</translation>
        </message>
        <message>
            <source>more than 8 bits per pixel</source>
            <translation>1 ピクセルあたり 8 ビットを超える</translation>
        </message>
        <message>
            <source>not enough memory</source>
            <translation>メモリが足りない</translation>
        </message>
        <message>
            <source>the disk is full</source>
            <translation>ディスクがいっぱい</translation>
        </message>
        <message>
            <source>the disk is read-only</source>
            <translation>ディスクが読み取り専用</translation>
        </message>
        <message>
            <source>the output would pass the file size limit</source>
            <translation>出力がファイルサイズの上限を超える</translation>
        </message>
        <message>
            <source>the output folder could not be made</source>
            <translation>出力フォルダを作成できなかった</translation>
        </message>
        <message>
            <source>a folder or another non-file has the output's name</source>
            <translation>出力と同じ名前のフォルダなどがある</translation>
        </message>
        <message>
            <source>input/output error</source>
            <translation>入出力エラー</translation>
        </message>
        <message>
            <source>the output would replace another file of this run</source>
            <translation>出力がこの変換の別のファイルを置き換えてしまう</translation>
        </message>
        <message>
            <source>a link at the output's name leads out of the output folder</source>
            <translation>出力の名前にあるリンクが出力フォルダの外を指している</translation>
        </message>
        <message>
            <source>the system refused</source>
            <translation>システムに拒否された</translation>
        </message>
    </context>
    <context>
        <name>kelvara::FileListModel</name>
        <message>
            <source>Relative path</source>
            <translation>相対パス</translation>
        </message>
        <message>
            <source>Status</source>
            <translation>状態</translation>
        </message>
        <message>
            <source>Base folder</source>
            <translation>基準ディレクトリ</translation>
        </message>
        <message>
            <source>Full path</source>
            <translation>フルパス</translation>
        </message>
        <message>
            <source>Reason</source>
            <translation>理由</translation>
        </message>
    </context>
    <context>
        <name>kelvara::MainWindow</name>
        <message>
            <source>Supported files (*.bmp *.png *.xyz)</source>
            <translation>対応ファイル (*.bmp *.png *.xyz)</translation>
        </message>
        <message>
            <source>not found (missing, or a link to nothing)</source>
            <translation>見つからない (存在しないか、リンク先がない)</translation>
        </message>
        <message>
            <source>not a file (a FIFO, socket or device)</source>
            <translation>ファイルではない (FIFO、ソケット、デバイス)</translation>
        </message>
        <message>
            <source>a folder that could not be read</source>
            <translation>読み取れなかったフォルダ</translation>
        </message>
        <message>
            <source>a folder without files</source>
            <translation>ファイルのないフォルダ</translation>
        </message>
        <message>
            <source>Show in folder</source>
            <translation>フォルダに表示</translation>
        </message>
        <message>
            <source>No file manager could show %1.</source>
            <translation>%1 を表示できるファイルマネージャがありません。</translation>
        </message>
        <message>
            <source>Settings</source>
            <translation>設定</translation>
        </message>
        <message>
            <source>Help</source>
            <translation>ヘルプ</translation>
        </message>
        <message>
            <source>The manual was not found. It was looked for at:
%1</source>
            <translation>マニュアルが見つかりません。次の場所を探しました:
%1</translation>
        </message>
        <message>
            <source>No program could open the manual at:
%1</source>
            <translation>次のマニュアルを開けるプログラムがありません:
%1</translation>
        </message>
        <message numerus="yes">
            <source>%n already listed</source>
            <translation>
                <numerusform>登録済み %n 件</numerusform>
            </translation>
        </message>
        <message numerus="yes">
            <source>%n not found</source>
            <translation>
                <numerusform>見つからない %n 件</numerusform>
            </translation>
        </message>
        <message numerus="yes">
            <source>%n not a file</source>
            <translation>
                <numerusform>ファイル以外 %n 件</numerusform>
            </translation>
        </message>
        <message numerus="yes">
            <source>%n unreadable</source>
            <translation>
                <numerusform>読み取れない %n 件</numerusform>
            </translation>
        </message>
        <message numerus="yes">
            <source>%n without files</source>
            <translation>
                <numerusform>ファイルなし %n 件</numerusform>
            </translation>
        </message>
        <message numerus="yes">
            <source>%n file(s) added</source>
            <translation>
                <numerusform>%n 件追加</numerusform>
            </translation>
        </message>
        <message>
            <source>; ignored: %1</source>
            <translation>、無視: %1</translation>
        </message>
        <message>
            <source>, </source>
            <translation>、</translation>
        </message>
        <message>
            <source>Details</source>
            <translation>詳細</translation>
        </message>
        <message>
            <source>Converted %1, copied %2, skipped %3, failed %4</source>
            <translation>変換 %1、コピー %2、スキップ %3、失敗 %4</translation>
        </message>
        <message numerus="yes">
            <source>; cancelled, %n not started</source>
            <translation>
                <numerusform>、キャンセル (未処理 %n 件)</numerusform>
            </translation>
        </message>
        <message>
            <source>Select failed</source>
            <translation>失敗した項目を選択</translation>
        </message>
        <message numerus="yes">
            <source>... and %n more</source>
            <translation>
                <numerusform>... ほか %n 件</numerusform>
            </translation>
        </message>
        <message>
            <source>Ignored</source>
            <translation>無視した項目</translation>
        </message>
        <message>
            <source>Open</source>
            <translation>開く</translation>
        </message>
        <message>
            <source>No program could open %1.</source>
            <translation>%1 を開けるプログラムがありません。</translation>
        </message>
        <message numerus="yes">
            <source>%n file(s)</source>
            <translation>
                <numerusform>%n 件</numerusform>
            </translation>
        </message>
        <message>
            <source>Add folder</source>
            <translation>フォルダを追加</translation>
        </message>
        <message>
            <source>Version</source>
            <translation>バージョン情報</translation>
        </message>
        <message>
            <source>Kelvara Image Converter</source>
            <translation>Kelvaraイメージコンバータ</translation>
        </message>
        <message>
            <source>Converts 8-bit palette images between BMP, PNG and XYZ.</source>
            <translation>8 ビットのパレット画像を BMP、PNG、XYZ の間で変換します。</translation>
        </message>
    </context>
    <context>
        <name>kelvara::ProgressWindow</name>
        <message>
            <source>About %1 left</source>
            <translation>残り約 %1</translation>
        </message>
    </context>
    <context>
        <name>kelvara::SettingsDialog</name>
        <message>
            <source>Choose the output folder</source>
            <translation>保存先ディレクトリの選択</translation>
        </message>
    </context>
    <context>
        <name>kelvara::StatusTexts</name>
        <message>
            <source>Done</source>
            <translation>正常終了</translation>
        </message>
        <message>
            <source>Skipped</source>
            <translation>スキップ</translation>
        </message>
        <message>
            <source>Copy failed</source>
            <translation>ファイルのコピーに失敗</translation>
        </message>
        <message>
            <source>Unsupported format</source>
            <translation>非対応の形式</translation>
        </message>
        <message>
            <source>Not 8-bit colour</source>
            <translation>8ビットカラーではない</translation>
        </message>
        <message>
            <source>Write error</source>
            <translation>書き出しエラー</translation>
        </message>
        <message>
            <source>Output conflicts with another file</source>
            <translation>出力先が他のファイルと衝突</translation>
        </message>
        <message>
            <source>Waiting</source>
            <translation>待機中</translation>
        </message>
    </context>
</TS>
