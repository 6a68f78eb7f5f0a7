# Draws bench/results/<mode>/chart.png from the files report.py wrote.
# Called by bench/run.sh as:
#   gnuplot -e "results='FOLDER'; ratios=N; scales=M" bench/chart.gp
# where N and M are the lines of ratios.dat and scale.dat; an empty panel is left out.
if (!exists("results")) results = "."
if (!exists("ratios")) ratios = 1
if (!exists("scales")) scales = 1
panels = (ratios > 0) + (scales > 0)
if (panels == 0) exit
# The ratios panel widens with its bars, about 30 pixels each.
ratios_width = (ratios > 0) * (ratios * 30 > 600 ? ratios * 30 : 600)
set terminal pngcairo size ratios_width + 600 * (scales > 0) + 100 * (panels - 1),600 \
    font ",10" noenhanced
set output results."/chart.png"
set multiplot title "talven benchmark (medians of one run)"
set size (ratios_width + 0.0) / (ratios_width + 600 * (scales > 0)), 0.95
set origin 0, 0

if (ratios > 0) {
set title "talven time / peer time (bars) against the target (marks)"
set style fill solid 0.6 border -1
set boxwidth 0.6
set xtics rotate by -30
set yrange [0:*]
set grid ytics
set key top left
# Room on the right for the end of the last slanted label.
set rmargin 18
set offsets 0.5, 0.5, 0.2, 0
plot results."/ratios.dat" using 0:2:xtic(1) with boxes title "talven / peer", \
     "" using 0:3 with points pt 9 ps 2 lc rgb "red" title "target (at most)"
}

if (scales > 0) {
set size 600.0 / (ratios_width + 600), 0.95
set origin (ratios_width + 0.0) / (ratios_width + 600), 0
set title "no-op time per file"
set logscale x
set offsets graph 0.1, graph 0.1, 0, 0
set xtics norotate
set format x "%.0f"
set xlabel "files in each tree"
set ylabel "microseconds per file"
set yrange [0:*]
plot results."/scale.dat" using 1:2 with linespoints pt 7 title "talven", \
     "" using 1:3 with linespoints pt 5 title "two finds in parallel"
}
unset multiplot
