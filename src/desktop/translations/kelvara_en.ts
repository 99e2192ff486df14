<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
    <context>
        <name>MainWindow</name>
        <message>
            <source>Kelvara Image Converter</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Save as</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Convert &amp;selected</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Convert &amp;all</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>&amp;Delete selected</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>&amp;Remove all</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>S&amp;elect all</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Kelvara converts 8-bit palette images between BMP, PNG and XYZ.</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>&amp;File</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>&amp;List</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>&amp;Options</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>&amp;Help</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>&amp;Open...</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>E&amp;xit</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>&amp;Delete selected items</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>&amp;Select all</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>S&amp;ettings...</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>&amp;Index</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>&amp;Version...</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Add &amp;folder...</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Select &amp;failed</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Reaso&amp;n column</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>&amp;Open</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Show in &amp;folder</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Open o&amp;utput</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>&amp;Copy path</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Convert &amp;again</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>&amp;Remove from list</source>
            <translation type="unfinished" />
        </message>
    </context>
    <context>
        <name>ProgressWindow</name>
        <message>
            <source>Converting...</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Please wait while the program is converting your images...</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>&amp;Cancel</source>
            <translation type="unfinished" />
        </message>
    </context>
    <context>
        <name>SettingsGeneralPage</name>
        <message>
            <source>General</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Output Folder</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>&amp;Same folder as the original files</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>S&amp;pecified folder</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Enter the folder to save into, or choose the same folder as the original files.</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Save &amp;time to recreate the directory structure</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Action if files cannot be found</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>S&amp;kip</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>&amp;Use another destination directory and reproduce the directory structure (if there is a copy)</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Automatic processing when receiving filenames by...</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>&amp;Drag &amp;&amp; Drop</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Co&amp;mmand line</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>The 'Open &amp;file'-dialog</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Remo&amp;ve items after successful conversion</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Keep w&amp;indow in foreground</source>
            <translation type="unfinished" />
        </message>
    </context>
    <context>
        <name>SettingsSavePage</name>
        <message>
            <source>How to save</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>low</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>high</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Co&amp;mpression level</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Filters</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Non&amp;e</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>&amp;Sub</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>&amp;Up</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>&amp;Average</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>&amp;Paeth</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>A&amp;ll</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Comp&amp;ression level</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>If the output file already exists</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Over&amp;write it</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>S&amp;kip the file</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Save under a &amp;new name (name (1).png)</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>E&amp;xpand 1-, 2- and 4-bit palette images to 8 bits</source>
            <translation type="unfinished" />
        </message>
    </context>
    <context>
        <name>kelvara::Failure</name>
        <message>
            <source>the file vanished</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>not a regular file</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>permission denied</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>the header is not a supported bitmap</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>not a PNG file</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>not an XYZ file</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>the file ends inside its header</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>the file ends inside the pixel data</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>the image data is damaged</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>the compression is not supported</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>the image has no pixels</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>the image is wider or taller than 65535 pixels</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>1, 2 or 4 bits per pixel</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>more than 8 bits per pixel</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>not enough memory</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>the disk is full</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>the disk is read-only</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>the output would pass the file size limit</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>the output folder could not be made</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>a folder or another non-file has the output's name</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>input/output error</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>the output would replace another file of this run</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>a link at the output's name leads out of the output folder</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>the system refused</source>
            <translation type="unfinished" />
        </message>
    </context>
    <context>
        <name>kelvara::FileListModel</name>
        <message>
            <source>Relative path</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Status</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Base folder</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Full path</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Reason</source>
            <translation type="unfinished" />
        </message>
    </context>
    <context>
        <name>kelvara::MainWindow</name>
        <message>
            <source>Supported files (*.bmp *.png *.xyz)</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>not found (missing, or a link to nothing)</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>not a file (a FIFO, socket or device)</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>a folder that could not be read</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>a folder without files</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Show in folder</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>No file manager could show %1.</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Settings</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Help</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>The manual was not found. It was looked for at:
%1</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>No program could open the manual at:
%1</source>
            <translation type="unfinished" />
        </message>
        <message numerus="yes">
            <source>%n already listed</source>
            <translation>
                <numerusform>%n already listed</numerusform>
                <numerusform>%n already listed</numerusform>
            </translation>
        </message>
        <message numerus="yes">
            <source>%n not found</source>
            <translation>
                <numerusform>%n not found</numerusform>
                <numerusform>%n not found</numerusform>
            </translation>
        </message>
        <message numerus="yes">
            <source>%n not a file</source>
            <translation>
                <numerusform>%n not a file</numerusform>
                <numerusform>%n not files</numerusform>
            </translation>
        </message>
        <message numerus="yes">
            <source>%n unreadable</source>
            <translation>
                <numerusform>%n unreadable</numerusform>
                <numerusform>%n unreadable</numerusform>
            </translation>
        </message>
        <message numerus="yes">
            <source>%n without files</source>
            <translation>
                <numerusform>%n folder without files</numerusform>
                <numerusform>%n folders without files</numerusform>
            </translation>
        </message>
        <message numerus="yes">
            <source>%n file(s) added</source>
            <translation>
                <numerusform>%n file added</numerusform>
                <numerusform>%n files added</numerusform>
            </translation>
        </message>
        <message>
            <source>; ignored: %1</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>, </source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Details</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Converted %1, copied %2, skipped %3, failed %4</source>
            <translation type="unfinished" />
        </message>
        <message numerus="yes">
            <source>; cancelled, %n not started</source>
            <translation>
                <numerusform>; cancelled, %n not started</numerusform>
                <numerusform>; cancelled, %n not started</numerusform>
            </translation>
        </message>
        <message>
            <source>Select failed</source>
            <translation type="unfinished" />
        </message>
        <message numerus="yes">
            <source>... and %n more</source>
            <translation>
                <numerusform>... and %n more</numerusform>
                <numerusform>... and %n more</numerusform>
            </translation>
        </message>
        <message>
            <source>Ignored</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Open</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>No program could open %1.</source>
            <translation type="unfinished" />
        </message>
        <message numerus="yes">
            <source>%n file(s)</source>
            <translation>
                <numerusform>%n file</numerusform>
                <numerusform>%n files</numerusform>
            </translation>
        </message>
        <message>
            <source>Add folder</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Version</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Kelvara Image Converter</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Converts 8-bit palette images between BMP, PNG and XYZ.</source>
            <translation type="unfinished" />
        </message>
    </context>
    <context>
        <name>kelvara::ProgressWindow</name>
        <message>
            <source>About %1 left</source>
            <translation type="unfinished" />
        </message>
    </context>
    <context>
        <name>kelvara::SettingsDialog</name>
        <message>
            <source>Choose the output folder</source>
            <translation type="unfinished" />
        </message>
    </context>
    <context>
        <name>kelvara::StatusTexts</name>
        <message>
            <source>Done</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Skipped</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Copy failed</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Unsupported format</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Not 8-bit colour</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Write error</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Output conflicts with another file</source>
            <translation type="unfinished" />
        </message>
        <message>
            <source>Waiting</source>
            <translation type="unfinished" />
        </message>
    </context>
</TS>
